#include "form_fixture.h"
#include "link/controller_connection.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;
using veltrane::TForm1;
using veltrane::testing::FormFixture;

class TestFormShell : public QObject
{
    Q_OBJECT

private:
    static QColor statusColour(TForm1& form)
    {
        return form.LabelStatus->palette().color(QPalette::WindowText);
    }

private Q_SLOTS:
    void formCreateSetsUpStateFilesAndLog()
    {
        FormFixture fixture;
        QVERIFY(!QDir(fixture.fixed().dataDirectory).exists());
        TForm1& form = fixture.form();

        QVERIFY(QDir(fixture.fixed().dataDirectory).exists());
        QCOMPARE(form.LabelStatus->text(), u"Estado: Desconectado"_s);
        QCOMPARE(statusColour(form), QColor(255, 0, 0));
        QCOMPARE(form.Edit1->text(), u"001"_s);
        QVERIFY(!form.FMonitoringActive);
        QCOMPARE(form.FCurrentPump, 1);
        QCOMPARE(form.FCurrentSalesPump, 1);
        QCOMPARE(form.FClientIndex, 0);
        QCOMPARE(form.FSalesCheckCount, 0);
        QVERIFY(!form.FFileNeedsSave);
        QVERIFY(!form.Timer1->isActive());
        QCOMPARE(form.Timer1->interval(), 50);
        QVERIFY(!form.Timer2->isActive());
        QCOMPARE(form.Timer2->interval(), 2000);
        QVERIFY(form.FSalesClient);
        QVERIFY(!form.FSalesClient->IsConnected());
        QVERIFY(!form.TCPClient->IsConnected());
        QCOMPARE(form.TCPClient->Port(), fixture.fixed().controllerPort);
        for (int pump = 1; pump <= veltrane::kPumpCount; ++pump) {
            QCOMPARE(form.FSurtidorLabels[pump]->objectName(), u"surtidor%1"_s.arg(pump));
            QVERIFY(form.FLastStatus[pump].isEmpty());
            QCOMPARE(form.FAuthSentCount[pump], 0);
        }
        for (int slot = 1; slot <= veltrane::kPoolSize; ++slot) {
            QVERIFY(!form.FPumpClients[slot]);
        }
        QVERIFY(form.FTrayIconData);
        QCOMPARE(form.FTrayIconData->toolTip(), u"Veltrane V3 - Conexión TCP"_s);
        QStringList menu;
        for (const QAction* action : form.FTrayMenu->actions()) {
            menu.append(action->isSeparator() ? u"-"_s : action->text());
        }
        QCOMPARE(menu, (QStringList{u"Restaurar"_s, u"-"_s, u"Salir"_s}));

        // The catalogue could not be found (the directory did not exist yet), so
        // its lines were lost; the first line is the start-up banner.
        QCOMPARE(fixture.logLines(), QStringList{u"=== APLICACIÓN INICIADA ==="_s});
        QVERIFY(fixture.failures().isEmpty());
    }

    void everyControlHasItsName()
    {
        FormFixture fixture;
        TForm1& form = fixture.form();
        QStringList names{u"ButtonConnect"_s,
                          u"ButtonDisconnect"_s,
                          u"LabelStatus"_s,
                          u"ButtonClosePump"_s,
                          u"Button1"_s,
                          u"Edit1"_s,
                          u"gp"_s,
                          u"gr"_s,
                          u"dp"_s,
                          u"dr"_s,
                          u"kr"_s,
                          u"rc"_s,
                          u"Button2"_s,
                          u"Timer1"_s,
                          u"SpeedButton1"_s,
                          u"Button3"_s,
                          u"Timer2"_s,
                          u"auto_conectar"_s};
        for (int i = 1; i <= 26; ++i) {
            names.append(u"Label%1"_s.arg(i));
        }
        for (int i = 1; i <= 20; ++i) {
            names.append(u"surtidor%1"_s.arg(i));
        }
        for (const QString& name : names) {
            QVERIFY2(form.findChild<QObject*>(name), qPrintable(name));
        }
        QCOMPARE(form.Label7->text(), u"Surtidor 1"_s);
        QCOMPARE(form.Label26->text(), u"Surtidor 20"_s);
        // The automatic connection is enabled by the design.
        FormFixture fresh;
        TForm1 designed(fresh.fixed());
        QVERIFY(designed.auto_conectar->isActive());
        designed.auto_conectar->stop();
    }

    void updateStatusColours_data()
    {
        QTest::addColumn<quint32>("colour");
        QTest::addColumn<QColor>("expected");
        QTest::newRow("red") << TForm1::kRed << QColor(255, 0, 0);
        QTest::newRow("green") << TForm1::kGreen << QColor(0, 128, 0);
        QTest::newRow("blue") << TForm1::kBlue << QColor(0, 0, 255);
    }

    void updateStatusColours()
    {
        QFETCH(quint32, colour);
        QFETCH(QColor, expected);
        FormFixture fixture;
        TForm1& form = fixture.form();
        form.UpdateStatus(u"Monitoreo detenido"_s, colour);
        QCOMPARE(form.LabelStatus->text(), u"Estado: Monitoreo detenido"_s);
        QCOMPARE(statusColour(form), expected);
    }

    void updateStatusRunsPendingHandlers()
    {
        FormFixture fixture;
        TForm1& form = fixture.form();
        bool ran = false;
        QTimer::singleShot(0, &form, [&ran] { ran = true; });
        form.UpdateStatus(u"x"_s, TForm1::kRed);
        QVERIFY(ran);
    }

    void connectFailureShowsErrorAndStartsNothing()
    {
        FormFixture fixture;
        TForm1& form = fixture.form();
        fixture.markLog();
        form.ButtonConnectClick();
        QVERIFY(form.LabelStatus->text().startsWith(u"Estado: Error: "_s));
        QVERIFY2(form.LabelStatus->text().contains(u"127.0.0.1"_s),
                 qPrintable(form.LabelStatus->text()));
        QCOMPARE(statusColour(form), QColor(255, 0, 0));
        QVERIFY(!form.FMonitoringActive);
        QVERIFY(fixture.logSinceMark().isEmpty());
        QVERIFY(fixture.failures().isEmpty());
    }

    void autoConnectRunsOnceAndLogs()
    {
        FormFixture fixture;
        TForm1& form = fixture.form();
        form.auto_conectar->start();
        fixture.markLog();
        form.auto_conectarTimer();
        QVERIFY(!form.auto_conectar->isActive());
        QVERIFY(form.LabelStatus->text().startsWith(u"Estado: Error: "_s));
        QCOMPARE(fixture.logSinceMark(), QStringList{u"Auto-conexión ejecutada"_s});
    }

    void disconnectAndStopWithNothingRunning()
    {
        FormFixture fixture;
        TForm1& form = fixture.form();
        fixture.markLog();
        form.ButtonDisconnectClick();
        QCOMPARE(form.LabelStatus->text(), u"Estado: Desconectado"_s);
        form.Button3Click();
        QCOMPARE(form.LabelStatus->text(), u"Estado: Monitoreo detenido"_s);
        QCOMPARE(statusColour(form), QColor(0, 0, 255));
        QVERIFY(fixture.logSinceMark().isEmpty());
    }

    void trayHandlers()
    {
        FormFixture fixture;
        TForm1& form = fixture.form();
        QVERIFY(!form.isVisible());
        fixture.markLog();

        form.WMTrayIcon(QSystemTrayIcon::Trigger); // a single click does nothing
        form.WMTrayIcon(QSystemTrayIcon::Context); // the platform shows the menu
        QVERIFY(!form.isVisible());
        QVERIFY(fixture.logSinceMark().isEmpty());

        form.FInTray = true;
        form.WMTrayIcon(QSystemTrayIcon::DoubleClick);
        QVERIFY(form.isVisible());
        QVERIFY(!form.FInTray);
        form.TrayRestoreClick(); // again while shown: logged again
        QCOMPARE(fixture.logSinceMark(),
                 QStringList(2, u"Aplicación restaurada desde bandeja del sistema"_s));

        // "Salir" ends the event loop with exit code 0.
        QTimer::singleShot(0, &form, [&form] { form.TrayExitClick(); });
        QCOMPARE(QApplication::exec(), 0);
        // So does closing the window.
        QTimer::singleShot(0, &form, [&form] { form.close(); });
        QCOMPARE(QApplication::exec(), 0);
    }

    void minimizeWithoutNotificationAreaKeepsWindowShown()
    {
        // The offscreen platform has no notification area.
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        FormFixture fixture;
        TForm1& form = fixture.form();
        form.MinimizeToTray();
        QVERIFY(form.isVisible());
        QVERIFY(!form.FInTray);
    }

    void shutdownLines_data()
    {
        QTest::addColumn<bool>("monitoring");
        QTest::addColumn<bool>("changedStatus");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("not monitoring")
            << false << false
            << QStringList{u"=== APLICACIÓN CERRANDO ==="_s, u"Pool de clientes liberado"_s};
        QTest::newRow("monitoring")
            << true << false
            << QStringList{u"=== APLICACIÓN CERRANDO ==="_s, u"Pool de clientes liberado"_s,
                           u"Monitoreo detenido"_s, u"Pool de clientes liberado"_s};
        QTest::newRow("monitoring with unsaved statuses")
            << true << true
            << QStringList{u"=== APLICACIÓN CERRANDO ==="_s,
                           u"Estado de surtidores guardado en %1"_s, u"Pool de clientes liberado"_s,
                           u"Monitoreo detenido"_s, u"Pool de clientes liberado"_s};
    }

    void shutdownLines()
    {
        QFETCH(bool, monitoring);
        QFETCH(bool, changedStatus);
        QFETCH(QStringList, lines);
        FormFixture fixture;
        TForm1& form = fixture.form();
        if (monitoring) {
            form.StartMonitoring();
        }
        if (changedStatus) {
            form.UpdatePumpStatus(4, u"IDLE"_s);
        }
        fixture.markLog();
        fixture.destroy();
        for (QString& line : lines) {
            if (line.contains(u"%1"_s)) {
                line = line.arg(fixture.fixed().stateFilePath());
            }
        }
        QCOMPARE(fixture.logSinceMark(), lines);
        QCOMPARE(QFile::exists(fixture.fixed().stateFilePath()), changedStatus);
    }
};

QTEST_MAIN(TestFormShell)
#include "test_form_shell.moc"
