// What the window adds for the operator, against the fake controller: a
// controller that stops answering, every pump stopped or resumed at once, and
// each pump's last recorded sale on its tile.
#include "form_fixture.h"
#include "link/controller_connection.h"
#include "support/fake_controller.h"

#include <QApplication>
#include <QDir>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

#include <algorithm>

using namespace Qt::StringLiterals;
using veltrane::TForm1;
using veltrane::testing::FakeController;
using veltrane::testing::FormFixture;
using veltrane::testing::SampleSale;
using A = veltrane::sim::ReplyAction;

namespace {

const QDateTime kStart(QDate(2024, 1, 31), QTime(14, 32, 0));
const QString kTrayTip = u"Veltrane V3 - Conexión TCP"_s;

// Stops the engine (connections dropped, connects refused) when a request
// arrives, before it is answered: a controller that goes away mid-exchange.
class StopOnRequest : public veltrane::sim::RecordSink
{
public:
    StopOnRequest(QString name, int pump) : FName(std::move(name)), FPump(pump) {}
    veltrane::sim::Engine* engine = nullptr;

    void onRequest(const veltrane::sim::ExchangeEntry& entry) override
    {
        if (engine && entry.requestName == FName && entry.pump == FPump) {
            engine->stop(u"prueba"_s);
        }
    }
    void onExchange(const veltrane::sim::ExchangeEntry&) override {}
    void onCommand(const veltrane::sim::CommandEntry&) override {}
    void onModelEvent(const veltrane::sim::ModelEventEntry&) override {}
    void onServerEvent(const veltrane::sim::ServerEntry&) override {}

private:
    QString FName;
    int FPump;
};

} // namespace

class TestFormOperator : public QObject
{
    Q_OBJECT

private:
    // Monitoring on with the timers held still, and the window's clock in the
    // test's hand.
    static void startMonitoring(TForm1& form, QDateTime& now)
    {
        form.FReplyWatch.SetClock([&now] { return now; });
        form.StartMonitoring();
        form.Timer1->stop();
        form.Timer2->stop();
    }

    static void setListening(FakeController& fake, bool listening)
    {
        bool ok = false;
        fake.onEngine([&ok, listening](veltrane::sim::Engine& engine) {
            if (listening) {
                ok = engine.start();
            } else {
                engine.stop(u"prueba"_s);
                ok = !engine.isRunning();
            }
        });
        QVERIFY(ok);
    }

    static bool tileLooksStale(TForm1& form, int pump)
    {
        const QWidget* tile = form.FSurtidorLabels[pump]->parentWidget();
        return tile->property("stale").toBool() && tile->styleSheet().contains(u"dashed"_s);
    }

    static bool trayShowsWarning(TForm1& form)
    {
        return form.FTrayIconData->icon().cacheKey() != form.windowIcon().cacheKey();
    }

    static QStringList stopRequests(const FakeController& fake, const QString& name)
    {
        QStringList out;
        for (const auto& request : fake.requests(name)) {
            out.append(request.pumpText);
        }
        return out;
    }

    static QStringList pumpTexts(int from, int to)
    {
        QStringList out;
        for (int pump = from; pump <= to; ++pump) {
            out.append(u"%1"_s.arg(pump, 3, 10, QLatin1Char('0')));
        }
        return out;
    }

    static QStringList startingWith(const QStringList& lines, const QString& prefix)
    {
        QStringList out;
        for (const QString& line : lines) {
            if (line.startsWith(prefix)) {
                out.append(line);
            }
        }
        return out;
    }

    static QStringList prefixed(const QString& prefix, const QStringList& texts)
    {
        QStringList out;
        for (const QString& text : texts) {
            out.append(prefix + text);
        }
        return out;
    }

    // The log lines of a series: each order's frame line, then its own line.
    static void checkSeriesLog(const QStringList& log, const QString& request, const QString& line,
                               const QStringList& pumps)
    {
        QCOMPARE(log.size(), 2 * pumps.size());
        for (qsizetype i = 0; i < pumps.size(); ++i) {
            const QString body = u"2||POST|%1|||PM=%2||^"_s.arg(request, pumps[i]);
            const QString frame = u"%1|5|"_s.arg(body.size(), 5, 10, QLatin1Char('0')) + body;
            QVERIFY2(log[2 * i].startsWith(u"Comando enviado: "_s + frame + u" | Respuesta: "_s),
                     qPrintable(log[2 * i]));
            QCOMPARE(log[2 * i + 1], line + pumps[i]);
        }
    }

private Q_SLOTS:
    // The controller goes away for a while and comes back: tiles dim one by
    // one, the banner, the tray icon and one notification appear after the
    // silence has lasted, and all of it clears; the log gets two lines.
    void controllerGoesAwayAndComesBack()
    {
        FakeController fake;
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        QDateTime now = kStart;
        startMonitoring(form, now);
        fixture.markLog();
        form.PollPumpStatus(1); // answered at 14:32:00
        form.PollPumpStatus(2);
        QCOMPARE(form.surtidor1->text(), u"IDLE"_s);
        QVERIFY(!tileLooksStale(form, 1));

        setListening(fake, false);
        now = kStart.addSecs(1);
        form.PollPumpStatus(3); // refused: never answered since the start
        QVERIFY(tileLooksStale(form, 3));
        QCOMPARE(form.FStaleLabels[3]->text(), u"sin respuesta"_s);
        QVERIFY(!form.PanelOutage->isVisibleTo(&form)); // one silent pump is no outage
        QCOMPARE(form.FTrayIconData->toolTip(), kTrayTip);

        now = kStart.addMSecs(2999);
        form.PollPumpStatus(1);
        QVERIFY(tileLooksStale(form, 1));
        QCOMPARE(form.surtidor1->text(), u"IDLE"_s); // the last status stays, dimmed
        QCOMPARE(form.FStaleLabels[1]->text(), u"sin respuesta · hace 2 s"_s);
        QVERIFY(!form.PanelOutage->isVisibleTo(&form));

        now = kStart.addSecs(3);
        form.PollPumpStatus(2);
        const QString outage = u"Sin respuesta del controlador desde las 14:32:00"_s;
        QVERIFY(form.PanelOutage->isVisibleTo(&form));
        QCOMPARE(form.LabelOutage->text(), outage);
        QVERIFY(trayShowsWarning(form));
        QCOMPARE(form.FTrayIconData->toolTip(), kTrayTip + u'\n' + outage);
        QCOMPARE(fixture.notices(), QStringList{outage});

        // The outage goes on: tiles count on, nothing new is logged or notified.
        now = kStart.addSecs(75);
        for (int pump = 1; pump <= 4; ++pump) {
            form.PollPumpStatus(pump);
        }
        QCOMPARE(form.FStaleLabels[1]->text(), u"sin respuesta · hace 1 min 15 s"_s);
        QCOMPARE(form.FStaleLabels[4]->text(), u"sin respuesta"_s);
        QCOMPARE(fixture.notices().size(), 1);
        QCOMPARE(fixture.logSinceMark(), QStringList{outage});

        setListening(fake, true);
        now = kStart.addSecs(80);
        form.PollPumpStatus(4);
        QVERIFY(!form.PanelOutage->isVisibleTo(&form));
        QVERIFY(!trayShowsWarning(form));
        QCOMPARE(form.FTrayIconData->toolTip(), kTrayTip);
        QVERIFY(!tileLooksStale(form, 4));
        QCOMPARE(form.FStaleLabels[4]->text(), QString());
        QCOMPARE(form.surtidor4->text(), u"IDLE"_s);
        // A pump stays dimmed until it answers itself.
        QVERIFY(tileLooksStale(form, 1));
        form.PollPumpStatus(1);
        QVERIFY(!tileLooksStale(form, 1));
        QCOMPARE(form.FStaleLabels[1]->text(), QString());

        QCOMPARE(fixture.logSinceMark(),
                 (QStringList{outage, u"El controlador responde de nuevo tras 1 min 20 s sin "
                                      u"respuesta"_s}));
        // The notification was taken away with the banner.
        QCOMPARE(fixture.notices(), (QStringList{outage, QString()}));
        QVERIFY(fixture.failures().isEmpty());
    }

    // A second outage is a new one: its own notification and log lines.
    void eachOutageIsNotifiedOnce()
    {
        FakeController fake;
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        QDateTime now = kStart;
        startMonitoring(form, now);
        fixture.markLog();
        for (int round = 0; round < 2; ++round) {
            form.PollPumpStatus(1);
            fake.scriptReplies(u"REQ_PUMP_STATUS"_s, 0, {A::close(), A::close()});
            now = now.addSecs(4);
            form.PollPumpStatus(2); // closed instead of answered
            form.PollPumpStatus(3);
            now = now.addSecs(1);
            form.PollPumpStatus(4); // answered again
        }
        QCOMPARE(fixture.notices(),
                 (QStringList{u"Sin respuesta del controlador desde las 14:32:00"_s, QString(),
                              u"Sin respuesta del controlador desde las 14:32:05"_s, QString()}));
        QCOMPARE(fixture.logSinceMark(),
                 (QStringList{u"Sin respuesta del controlador desde las 14:32:00"_s,
                              u"El controlador responde de nuevo tras 5 s sin respuesta"_s,
                              u"Sin respuesta del controlador desde las 14:32:05"_s,
                              u"El controlador responde de nuevo tras 5 s sin respuesta"_s}));
        QVERIFY(!form.PanelOutage->isVisibleTo(&form));
    }

    // Stopping monitoring asks nothing more, so nothing shows as unanswered;
    // the outage has no end to log. Tiles keep their statuses.
    void stopDuringAnOutageClearsTheWindow()
    {
        FakeController fake;
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        QDateTime now = kStart;
        startMonitoring(form, now);
        form.PollPumpStatus(5);
        setListening(fake, false);
        now = kStart.addSecs(10);
        form.PollPumpStatus(5);
        QVERIFY(form.PanelOutage->isVisibleTo(&form));
        fixture.markLog();
        form.Button3Click();
        QVERIFY(!form.PanelOutage->isVisibleTo(&form));
        QVERIFY(!trayShowsWarning(form));
        QCOMPARE(form.FTrayIconData->toolTip(), kTrayTip);
        QCOMPARE(fixture.notices().size(), 2);
        QCOMPARE(fixture.notices().last(), QString()); // withdrawn
        QVERIFY(!tileLooksStale(form, 5));
        QCOMPARE(form.FStaleLabels[5]->text(), QString());
        QCOMPARE(form.surtidor5->text(), u"IDLE"_s);
        QCOMPARE(
            fixture.logSinceMark(),
            (QStringList{u"Estado de surtidores guardado en "_s + fixture.fixed().stateFilePath(),
                         u"Pool de clientes liberado"_s, u"Monitoreo detenido"_s}));
    }

    void closeAndOpenAll_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("title");
        QTest::newRow("Detener todos")
            << u"ButtonCloseAll"_s << u"REQ_STOP"_s << u"Cerrar surtidor "_s << u"Detener todos"_s;
        QTest::newRow("Abrir todos")
            << u"ButtonOpenAll"_s << u"REQ_RESUME"_s << u"Abrir surtidor "_s << u"Abrir todos"_s;
    }

    // The series goes to pumps 1 to 20 in order, each order logged as the
    // single command's; Edit1 is neither used nor changed.
    void closeAndOpenAll()
    {
        QFETCH(QString, button);
        QFETCH(QString, request);
        QFETCH(QString, line);
        QFETCH(QString, title);
        FakeController fake;
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        QDateTime now = kStart;
        form.FReplyWatch.SetClock([&now] { return now; });
        form.Edit1->setText(u"5|PM=9"_s); // would be refused by a single command
        fixture.markLog();
        form.findChild<QPushButton*>(button)->click();

        QCOMPARE(fixture.confirmations(), QStringList{title});
        QCOMPARE(stopRequests(fake, request), pumpTexts(1, 20));
        QCOMPARE(fake.requests().size(), 20);
        checkSeriesLog(fixture.logSinceMark(), request, line, pumpTexts(1, 20));
        QCOMPARE(form.LabelSeries->text(), title + u": 20 de 20 órdenes enviadas, 14:32:00"_s);
        QCOMPARE(form.Edit1->text(), u"5|PM=9"_s);
        QCOMPARE(form.LabelStatus->text(), u"Estado: Conectado"_s);
        QTRY_COMPARE(fake.serverEvents(u"connect"_s).size(), 1); // one main connection
        QVERIFY(fixture.failures().isEmpty());
    }

    void cancelledSeriesSendsNothing()
    {
        FakeController fake;
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        fixture.answerConfirmations(false);
        fixture.markLog();
        form.ButtonCloseAll->click();
        QCOMPARE(fixture.confirmations(), QStringList{u"Detener todos"_s});
        QVERIFY(fake.requests().isEmpty());
        QVERIFY(!form.TCPClient->IsConnected());
        QVERIFY(fixture.logSinceMark().isEmpty());
        QCOMPARE(form.LabelSeries->text(), QString());
    }

    void refusingController_data()
    {
        QTest::addColumn<int>("goneAt"); // the pump whose order stops the controller; 0: never up
        QTest::newRow("refused from the start") << 0;
        QTest::newRow("gone after the fifth order") << 5;
    }

    // A failure to connect ends the series where it happens and is reported as
    // a single command's: the status line, then the message box.
    void refusingController()
    {
        QFETCH(int, goneAt);
        StopOnRequest stopper(u"REQ_STOP"_s, goneAt);
        FakeController fake;
        fake.onEngine([&stopper](veltrane::sim::Engine& engine) {
            stopper.engine = &engine;
            engine.addSink(&stopper);
        });
        veltrane::testing::RefusingPort refusing;
        FormFixture fixture(goneAt == 0 ? refusing.port() : fake.port());
        TForm1& form = fixture.form();
        QDateTime now = kStart;
        form.FReplyWatch.SetClock([&now] { return now; });
        fixture.markLog();
        form.ButtonCloseAll->click();

        QCOMPARE(fixture.failures().size(), 1);
        QCOMPARE(form.LabelStatus->text(), u"Estado: Error: "_s + fixture.failures().at(0));
        // The controller has the orders up to the one it stopped at.
        QCOMPARE(stopRequests(fake, u"REQ_STOP"_s), pumpTexts(1, goneAt));
        // The series stops at the next pump. Only on a machine so loaded that
        // the controller takes longer than the command's pause to go does one
        // more order leave before the close is seen (lost, or failing to send):
        // the series then stops one pump later.
        const QStringList log = fixture.logSinceMark();
        const QStringList orders = startingWith(log, u"Cerrar surtidor "_s);
        const qsizetype stoppedAt = orders.size() + 1;
        QVERIFY2(stoppedAt == goneAt + 1 || (goneAt > 0 && stoppedAt == goneAt + 2),
                 qPrintable(log.join(u'\n')));
        QCOMPARE(orders, prefixed(u"Cerrar surtidor "_s, pumpTexts(1, int(stoppedAt) - 1)));
        const qsizetype sent = startingWith(log, u"Comando enviado: "_s).size();
        QCOMPARE(form.LabelSeries->text(),
                 u"Detener todos interrumpido en el surtidor %1 (sin conexión): %2 de 20 órdenes "
                 u"enviadas, 14:32:00"_s.arg(stoppedAt)
                     .arg(sent));
        if (stoppedAt == goneAt + 1) {
            checkSeriesLog(log, u"REQ_STOP"_s, u"Cerrar surtidor "_s, pumpTexts(1, goneAt));
        }
    }

    // A controller that closes the main connection now and then: each next
    // order opens it again and the series goes on.
    void closingController()
    {
        FakeController fake;
        fake.scriptReplies(u"REQ_RESUME"_s, 3, {A::close()});
        fake.scriptReplies(u"REQ_RESUME"_s, 10, {A::reset()});
        fake.scriptReplies(u"REQ_RESUME"_s, 11, {A::close()});
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        fixture.markLog();
        form.ButtonOpenAll->click();
        const QStringList log = fixture.logSinceMark();
        QCOMPARE(startingWith(log, u"Abrir surtidor "_s),
                 prefixed(u"Abrir surtidor "_s, pumpTexts(1, 20)));
        const qsizetype sent = startingWith(log, u"Comando enviado: "_s).size();
        QVERIFY2(form.LabelSeries->text().startsWith(
                     u"Abrir todos: %1 de 20 órdenes enviadas"_s.arg(sent)),
                 qPrintable(form.LabelSeries->text()));
        QCOMPARE(form.LabelStatus->text(), u"Estado: Conectado"_s);
        QVERIFY(fixture.failures().isEmpty());
        // What reached the controller, in order. An order can only be lost when
        // the controller takes longer than the command's pause to close the
        // connection it went into (a very loaded machine), one per close.
        const QStringList received = stopRequests(fake, u"REQ_RESUME"_s);
        QVERIFY2(received.size() >= 17 && std::is_sorted(received.begin(), received.end()) &&
                     std::adjacent_find(received.begin(), received.end()) == received.end(),
                 qPrintable(received.join(u' ')));
        if (received.size() == 20) {
            QCOMPARE(received, pumpTexts(1, 20));
            checkSeriesLog(log, u"REQ_RESUME"_s, u"Abrir surtidor "_s, pumpTexts(1, 20));
            QTRY_COMPARE(fake.serverEvents(u"connect"_s).size(), 4);
        }
    }

    // Nothing runs between two orders: a double click, a status tick with an
    // authorization and a single command all queued before the series, and
    // handled while its question is up or after it.
    void nothingInterleavesWithTheSeries()
    {
        FakeController fake;
        fake.scriptStatuses(7, {u"CALLING"_s});
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        QDateTime now = kStart;
        startMonitoring(form, now);
        form.FCurrentPump = 7;
        form.Edit1->setText(u"12"_s);
        // The second click of a double click, while the question is up.
        fixture.answerConfirmations(true, [&form] { form.ButtonCloseAll->click(); });
        // Queued now: the series opens the main connection, and a single command
        // doing so would run them inside its status line update.
        QTimer::singleShot(0, &form, [&form] { form.Timer1Timer(); });
        QTimer::singleShot(0, form.ButtonClosePump, &QPushButton::click);
        form.ButtonCloseAll->click();
        QCOMPARE(fixture.confirmations().size(), 1);
        // Nothing ran inside the series, although it opened the main connection.
        QStringList expected = pumpTexts(1, 20);
        QCOMPARE(stopRequests(fake, u"REQ_STOP"_s), expected);
        QVERIFY(fake.commands(u"REQ_AUTHORIZE"_s).isEmpty());
        QApplication::processEvents(); // now the queued tick and click run
        expected.append(u"012"_s);
        QCOMPARE(stopRequests(fake, u"REQ_STOP"_s), expected);
        QCOMPARE(fake.commands(u"REQ_AUTHORIZE"_s).size(), 1);
        QCOMPARE(form.Edit1->text(), u"12"_s);
        QVERIFY(fixture.failures().isEmpty());
    }

    // Clicked while another command waits for the main connection: the series
    // goes out after that command, never in the middle of it.
    void seriesClickedDuringACommandComesAfterIt()
    {
        FakeController fake;
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        form.Edit1->setText(u"3"_s);
        QTimer::singleShot(0, form.ButtonOpenAll, &QPushButton::click);
        QTimer::singleShot(0, form.ButtonOpenAll, &QPushButton::click); // double click
        form.ButtonClosePump->click(); // opens the main connection: queued clicks run
        QCOMPARE(stopRequests(fake, u"REQ_STOP"_s), QStringList{u"003"_s});
        QVERIFY(fake.requests(u"REQ_RESUME"_s).isEmpty());
        QCOMPARE(fixture.confirmations().size(), 0);
        QTRY_COMPARE(stopRequests(fake, u"REQ_RESUME"_s), pumpTexts(1, 20));
        QCOMPARE(fixture.confirmations().size(), 1);
        const QStringList log = fixture.logLines();
        QCOMPARE(log.indexOf(u"Cerrar surtidor 003"_s) + 1,
                 log.indexOf(QRegularExpression(u"Comando enviado: .*PM=001.*"_s)));
        QVERIFY(fixture.failures().isEmpty());
    }

    // The tile shows the sale just recorded under its status; a sale already
    // recorded or one that could not be written leaves it as it was.
    void lastSaleOnTheTile()
    {
        FakeController fake;
        veltrane::sim::Sale second = SampleSale(7, 13);
        second.vo1 = u"1234.5"_s;
        second.am1 = u"999.99"_s;
        second.sti1 = u"090501"_s;
        fake.scriptSales(7, {SampleSale(7, 12), SampleSale(7, 12), second});
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        QCOMPARE(form.FSaleLabels[7]->text(), QString()); // nothing before the first sale
        form.CheckLastSaleForPump(7);
        QCOMPARE(form.FSaleLabels[7]->text(), u"25,500 L · 19.010,3 · 14:30"_s);
        QCOMPARE(form.surtidor7->text(), QString()); // the status label keeps the bare status
        for (int pump = 1; pump <= veltrane::kPumpCount; ++pump) {
            if (pump != 7) {
                QCOMPARE(form.FSaleLabels[pump]->text(), QString());
            }
        }
        form.CheckLastSaleForPump(7); // the same sale: recorded already
        QCOMPARE(form.FSaleLabels[7]->text(), u"25,500 L · 19.010,3 · 14:30"_s);

        // The sale file cannot be written: the tile keeps the last recorded sale.
        const QString saleFile = fixture.fixed().saleFilePath();
        QVERIFY(QFile::rename(saleFile, saleFile + u".aparte"_s));
        QVERIFY(QDir().mkpath(saleFile)); // a folder in its place
        form.CheckLastSaleForPump(7);
        QCOMPARE(form.FSaleLabels[7]->text(), u"25,500 L · 19.010,3 · 14:30"_s);
        QVERIFY(QDir().rmdir(saleFile));
        QVERIFY(QFile::rename(saleFile + u".aparte"_s, saleFile));
        form.CheckLastSaleForPump(7);
        QCOMPARE(form.FSaleLabels[7]->text(), u"1.234,500 L · 1.000,0 · 09:05"_s);
        QCOMPARE(form.FSaleLabels[7]->toolTip(),
                 u"Última venta registrada: 1.234,500 L, monto 1.000,0, hora de fin 09:05:01"_s);
    }
};

QTEST_MAIN(TestFormOperator)
#include "test_form_operator.moc"
