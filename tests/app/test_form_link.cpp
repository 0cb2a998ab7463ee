// The main window's connections and operator commands against the fake
// controller running on its own thread.
#include "form_fixture.h"
#include "link/controller_connection.h"
#include "support/fake_controller.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <set>

using namespace Qt::StringLiterals;
using veltrane::TForm1;
using veltrane::testing::FakeController;
using veltrane::testing::FormFixture;
using A = veltrane::sim::ReplyAction;

class TestFormLink : public QObject
{
    Q_OBJECT

private:
    static QStringList bodies(const QList<veltrane::sim::ExchangeEntry>& requests)
    {
        QStringList out;
        for (const auto& request : requests) {
            out.append(QString::fromLatin1(request.request));
        }
        return out;
    }

private Q_SLOTS:
    void poolRotatesAcrossStopAndRestart()
    {
        FormFixture fixture;
        TForm1& form = fixture.form();
        fixture.markLog();
        form.FreeClientPool(); // empty slots: only the line
        form.InitClientPool();
        QList<std::shared_ptr<veltrane::link::ControllerConnection>> seen;
        for (int i = 0; i < 5; ++i) {
            seen.append(form.GetNextClient());
        }
        QCOMPARE(form.FClientIndex, 1);
        QCOMPARE(seen[0], seen[4]); // the fifth call is slot 1 again
        QCOMPARE(std::set(seen.begin(), seen.end()).size(), std::size_t(4));
        QVERIFY(!seen[0]->IsConnected()); // created, not opened
        form.GetNextClient();             // last used: slot 2
        form.FreeClientPool();
        for (int slot = 1; slot <= veltrane::kPoolSize; ++slot) {
            QVERIFY(!form.FPumpClients[slot]);
        }
        form.InitClientPool();
        QCOMPARE(form.GetNextClient(), form.FPumpClients[3]);
        QCOMPARE(fixture.logSinceMark(),
                 (QStringList{u"Pool de clientes liberado"_s,
                              u"Pool de clientes inicializado (4 clientes)"_s,
                              u"Pool de clientes liberado"_s,
                              u"Pool de clientes inicializado (4 clientes)"_s}));
    }

    void ensureConnectedReportsOnStatusLine()
    {
        FakeController fake;
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        form.EnsureConnected();
        QVERIFY(form.TCPClient->IsConnected());
        QCOMPARE(form.LabelStatus->text(), u"Estado: Conectado"_s);
        // Already open: nothing changes, not even the status line.
        form.UpdateStatus(u"Monitoreo detenido"_s, TForm1::kBlue);
        form.EnsureConnected();
        QCOMPARE(form.LabelStatus->text(), u"Estado: Monitoreo detenido"_s);
        QTRY_COMPARE(fake.serverEvents(u"connect"_s).size(), 1);

        FormFixture unreachable;
        TForm1& other = unreachable.form();
        QVERIFY_THROWS_EXCEPTION(veltrane::Failure, other.EnsureConnected());
        QVERIFY(other.LabelStatus->text().startsWith(u"Estado: Error: conexión rechazada por "_s));
    }

    void commandFramesAndLogLines_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("pumpText");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("line");
        QTest::newRow("close 5") << u"ButtonClosePump"_s << u"5"_s
                                 << u"2||POST|REQ_STOP|||PM=005||^"_s << u"Cerrar surtidor 005"_s;
        QTest::newRow("open 7") << u"Button1"_s << u"7"_s << u"2||POST|REQ_RESUME|||PM=007||^"_s
                                << u"Abrir surtidor 007"_s;
        QTest::newRow("close 12") << u"ButtonClosePump"_s << u"12"_s
                                  << u"2||POST|REQ_STOP|||PM=012||^"_s << u"Cerrar surtidor 012"_s;
        QTest::newRow("four digits as typed")
            << u"Button1"_s << u"4567"_s << u"2||POST|REQ_RESUME|||PM=4567||^"_s
            << u"Abrir surtidor 4567"_s;
        QTest::newRow("empty pump")
            << u"ButtonClosePump"_s << QString() << u"2||POST|REQ_STOP|||PM=000||^"_s
            << u"Cerrar surtidor 000"_s;
        QTest::newRow("leading blank kept")
            << u"ButtonClosePump"_s << u" 5"_s << u"2||POST|REQ_STOP|||PM=0 5||^"_s
            << u"Cerrar surtidor 0 5"_s;
        QTest::newRow("price change")
            << u"Button2"_s << u"1"_s
            << u"2||POST|REQ_PRICE_CHANGE|||PM=001|GP=8.12|GR=7,45|DP=|DR=6.9|KR=?|RC=9||^"_s
            << u"Cambio de precio enviado a surtidor 001"_s;
    }

    void commandFramesAndLogLines()
    {
        QFETCH(QString, button);
        QFETCH(QString, pumpText);
        QFETCH(QString, body);
        QFETCH(QString, line);
        FakeController fake;
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        form.Edit1->setText(pumpText);
        form.gp->setText(u"8.12"_s);
        form.gr->setText(u"7,45"_s); // sent as typed, comma and all
        form.dr->setText(u"6.9"_s);
        form.kr->setText(u"€"_s); // outside 7-bit ASCII: one "?"
        form.rc->setText(u"9"_s);
        fixture.markLog();
        form.findChild<QPushButton*>(button)->click();

        QVERIFY(fake.waitForRequests(1));
        QCOMPARE(bodies(fake.requests()), QStringList{body});
        // The log shows the frame as typed; only the wire has "?" for the euro sign.
        const QString typed = QString(body).replace(u"KR=?"_s, u"KR=€"_s);
        const QString frame = u"%1|5|"_s.arg(body.size(), 5, 10, QLatin1Char('0')) + typed;
        const QStringList log = fixture.logSinceMark();
        QCOMPARE(log.size(), 2);
        QVERIFY2(log[0].startsWith(u"Comando enviado: "_s + frame + u" | Respuesta: "_s),
                 qPrintable(log[0]));
        QCOMPARE(log[1], line);
        QCOMPARE(form.LabelStatus->text(), u"Estado: Conectado"_s);
        QVERIFY(fixture.failures().isEmpty());
    }

    void authorizationFrameAndLog()
    {
        FakeController fake;
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        fixture.markLog();
        form.SendAuthorize(u"007"_s);
        QCOMPARE(bodies(fake.requests()), QStringList{u"2||POST|REQ_AUTHORIZE|||PM=007|AU=1||^"_s});
        const QStringList log = fixture.logSinceMark();
        QCOMPARE(log.size(), 2);
        QVERIFY(log[0].startsWith(
            u"Comando enviado: 00038|5|2||POST|REQ_AUTHORIZE|||PM=007|AU=1||^ | Respuesta: "_s));
        QCOMPARE(log[1], u"Autorización enviada a surtidor 007"_s);
    }

    void lateReplyIsLoggedWithTheNextCommand()
    {
        FakeController fake;
        // Far past the command's 100 ms pause, so that a window thread held up
        // on a loaded machine still takes its reply before this one comes.
        fake.scriptReplies(u"REQ_STOP"_s, 0, {A::delayed(2000)});
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        form.Edit1->setText(u"3"_s);
        fixture.markLog();
        form.ButtonClosePumpClick();
        QVERIFY(fake.waitForExchanges(1));
        form.Button1Click();
        const QStringList log = fixture.logSinceMark();
        QCOMPARE(log.size(), 4);
        QVERIFY2(log[0].endsWith(u" | Respuesta: "_s), qPrintable(log[0]));
        const QString late = QString::fromLatin1(fake.exchanges(u"REQ_STOP"_s).at(0).reply);
        const QString prompt = QString::fromLatin1(fake.exchanges(u"REQ_RESUME"_s).at(0).reply);
        QVERIFY2(log[2].endsWith(u" | Respuesta: "_s + late + prompt), qPrintable(log[2]));
    }

    void unreachableControllerOnAClick()
    {
        FormFixture fixture; // nothing listens on its port
        TForm1& form = fixture.form();
        fixture.markLog();
        form.Button2->click();
        QVERIFY(form.LabelStatus->text().startsWith(u"Estado: Error: "_s));
        QCOMPARE(fixture.failures().size(), 1);
        QCOMPARE(u"Estado: Error: "_s + fixture.failures().at(0), form.LabelStatus->text());
        QVERIFY(fixture.logSinceMark().isEmpty());
    }

    void sendFailureIsLoggedAndTheCommandLineFollows()
    {
        // The main connection opens, and a disconnect click already queued runs
        // inside the status line update, before the frame goes out.
        FakeController fake;
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        form.Edit1->setText(u"5"_s);
        QTimer::singleShot(0, form.ButtonDisconnect, &QPushButton::click);
        fixture.markLog();
        form.ButtonClosePump->click();
        const QStringList log = fixture.logSinceMark();
        QCOMPARE(log.size(), 2);
        QVERIFY2(log[0].startsWith(u"Error enviando comando: no hay conexión abierta con "_s),
                 qPrintable(log[0]));
        QCOMPARE(log[1], u"Cerrar surtidor 005"_s);
        QVERIFY(fake.requests().isEmpty());
        QVERIFY(fixture.failures().isEmpty());
    }

    void separatorsInTypedFieldsAreRefused_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("field");
        QTest::newRow("bar in pump, close") << u"ButtonClosePump"_s << u"Edit1"_s << u"5|PM=7"_s
                                            << u"«Surtidor» contiene el carácter \"|\""_s;
        QTest::newRow("caret in pump, open")
            << u"Button1"_s << u"Edit1"_s << u"5^"_s << u"«Surtidor» contiene el carácter \"^\""_s;
        QTest::newRow("bar in a price") << u"Button2"_s << u"dr"_s << u"1|PM=009"_s
                                        << u"«Diésel regular (DR)» contiene el carácter \"|\""_s;
        QTest::newRow("caret in a price")
            << u"Button2"_s << u"rc"_s << u"^"_s << u"«Racing (RC)» contiene el carácter \"^\""_s;
    }

    void separatorsInTypedFieldsAreRefused()
    {
        QFETCH(QString, button);
        QFETCH(QString, edit);
        QFETCH(QString, value);
        QFETCH(QString, field);
        FakeController fake;
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        form.findChild<QLineEdit*>(edit)->setText(value);
        fixture.markLog();
        form.findChild<QPushButton*>(button)->click();
        QCOMPARE(fixture.failures().size(), 1);
        QVERIFY2(fixture.failures().at(0).contains(field), qPrintable(fixture.failures().at(0)));
        const QStringList log = fixture.logSinceMark();
        QCOMPARE(log.size(), 1);
        QVERIFY2(log[0].startsWith(u"Comando rechazado: El campo "_s + field), qPrintable(log[0]));
        // Nothing was sent, and the main connection was not even opened.
        QVERIFY(fake.requests().isEmpty());
        QVERIFY(!form.TCPClient->IsConnected());
    }
};

QTEST_MAIN(TestFormLink)
#include "test_form_link.moc"
