// Status polling with automatic authorization, driven tick by tick against
// the fake controller.
#include "form_fixture.h"
#include "link/controller_connection.h"
#include "support/fake_controller.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <chrono>

using namespace Qt::StringLiterals;
using veltrane::TForm1;
using veltrane::testing::FakeController;
using veltrane::testing::FormFixture;
using A = veltrane::sim::ReplyAction;

class TestFormPolling : public QObject
{
    Q_OBJECT

private:
    static QStringList polledPumps(const FakeController& fake)
    {
        QStringList out;
        for (const auto& request : fake.requests(u"REQ_PUMP_STATUS"_s)) {
            out.append(request.pumpText);
        }
        return out;
    }

    static QStringList authorized(const FakeController& fake)
    {
        QStringList out;
        for (const auto& command : fake.commands(u"REQ_AUTHORIZE"_s)) {
            out.append(command.pumpText);
        }
        return out;
    }

    // Monitoring on, with the timers held still: the test drives every tick,
    // and only the events it queues itself can run nested.
    static void startMonitoring(TForm1& form)
    {
        form.StartMonitoring();
        form.Timer1->stop();
        form.Timer2->stop();
    }

    static void ticks(TForm1& form, int count)
    {
        for (int i = 0; i < count; ++i) {
            form.Timer1Timer();
        }
    }

    static QByteArray readFile(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private Q_SLOTS:
    void cycleOrderWrapAndStateFile()
    {
        FakeController fake;
        fake.scriptStatuses(3, {u"CLOSED"_s});
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        fixture.markLog();
        form.StartMonitoring();
        QVERIFY(form.Timer1->isActive() && form.Timer2->isActive());
        form.Timer1->stop(); // the test drives the ticks itself
        form.Timer2->stop();

        ticks(form, 19);
        QVERIFY(!QFile::exists(fixture.fixed().stateFilePath()));
        QVERIFY(form.FFileNeedsSave);
        form.Timer1Timer(); // polls pump 20 and completes the cycle
        QCOMPARE(form.FCurrentPump, 1);
        QVERIFY(!form.FFileNeedsSave);
        form.Timer1Timer();

        QStringList expected;
        for (int pump = 1; pump <= 20; ++pump) {
            expected.append(u"%1"_s.arg(pump, 3, 10, QLatin1Char('0')));
        }
        expected.append(u"001"_s);
        QCOMPARE(polledPumps(fake), expected);
        QCOMPARE(form.surtidor3->text(), u"CLOSED"_s);
        QCOMPARE(form.surtidor20->text(), u"IDLE"_s);
        const QByteArray state = readFile(fixture.fixed().stateFilePath());
        QVERIFY(state.startsWith("1=IDLE\r\n2=IDLE\r\n3=CLOSED\r\n"));
        QVERIFY(state.endsWith("19=IDLE\r\n20=IDLE\r\n"));
        QCOMPARE(state.count('\n'), 20);
        QCOMPARE(fixture.logSinceMark(),
                 (QStringList{
                     u"Pool de clientes inicializado (4 clientes)"_s, u"Monitoreo iniciado"_s,
                     u"Estado de surtidores guardado en "_s + fixture.fixed().stateFilePath()}));
        // Four pool connections were opened, one per slot, and kept.
        QTRY_COMPARE(fake.serverEvents(u"connect"_s).size(), 4);
    }

    void onlyAChangeToExactlyCallingAuthorizes_data()
    {
        QTest::addColumn<QStringList>("statuses");
        QTest::addColumn<QStringList>("authorizations");
        QTest::addColumn<int>("counter");
        const QStringList once{u"003"_s};
        QTest::newRow("CALLING") << QStringList{u"CALLING"_s} << once << 1;
        QTest::newRow("steady CALLING is one change")
            << QStringList{u"CALLING"_s, u"CALLING"_s, u"CALLING"_s} << once << 1;
        QTest::newRow("lower case") << QStringList{u"calling"_s} << QStringList() << 0;
        QTest::newRow("longer") << QStringList{u"CALLING2"_s} << QStringList() << 0;
        QTest::newRow("shorter") << QStringList{u"CALLIN"_s} << QStringList() << 0;
        QTest::newRow("four changes, three authorizations")
            << QStringList{u"CALLING"_s, u"IDLE"_s, u"CALLING"_s, u"FUELLING"_s,
                           u"CALLING"_s, u"IDLE"_s, u"CALLING"_s}
            << QStringList{u"003"_s, u"003"_s, u"003"_s} << 4;
    }

    void onlyAChangeToExactlyCallingAuthorizes()
    {
        QFETCH(QStringList, statuses);
        QFETCH(QStringList, authorizations);
        QFETCH(int, counter);
        FakeController fake;
        fake.scriptStatuses(3, statuses);
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        startMonitoring(form);
        for (qsizetype i = 0; i < statuses.size(); ++i) {
            form.PollPumpStatus(3);
        }
        QCOMPARE(authorized(fake), authorizations);
        QCOMPARE(form.FAuthSentCount[3], counter);
        QCOMPARE(form.surtidor3->text(), statuses.constLast());
        const QStringList log = fixture.logLines();
        QCOMPARE(log.count(u"Autorización enviada a surtidor 003"_s), authorizations.size());
    }

    void sameStatusChangesNothing()
    {
        FakeController fake;
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        startMonitoring(form);
        form.PollPumpStatus(5);
        QCOMPARE(form.FLastStatus[5], u"IDLE"_s);
        form.SavePumpStates();
        QVERIFY(!form.FFileNeedsSave);
        form.surtidor5->setText(u"marca"_s); // would be overwritten by a write
        form.PollPumpStatus(5);
        QVERIFY(!form.FFileNeedsSave);
        QCOMPARE(form.surtidor5->text(), u"marca"_s);
        // A second save without changes writes nothing and logs nothing.
        fixture.markLog();
        QFile::remove(fixture.fixed().stateFilePath());
        form.SavePumpStates();
        QVERIFY(!QFile::exists(fixture.fixed().stateFilePath()));
        QVERIFY(fixture.logSinceMark().isEmpty());
    }

    void noReplyAndReplyWithoutStatus()
    {
        FakeController fake;
        fake.setSilent(6);
        fake.scriptReplies(u"REQ_PUMP_STATUS"_s, 7,
                           {A::body("2||POST|RES_PUMP_STATUS|||RC=ERR_BUSY|PM=007||^")});
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        startMonitoring(form);
        fixture.markLog();
        form.PollPumpStatus(6);
        QCOMPARE(form.FLastStatus[6], QString());
        QVERIFY(!form.FFileNeedsSave);
        form.PollPumpStatus(7);
        QCOMPARE(form.surtidor7->text(), u"UNKNOWN"_s);
        QVERIFY(form.FFileNeedsSave);
        QVERIFY(fixture.logSinceMark().isEmpty()); // status polling is silent
    }

    void lateReplyDoesNotReachTheNextPump()
    {
        // Pump 8 answers after the window (50 + 500 ms), late by far more than a
        // loaded machine holds the window's thread up; the reply stays on its
        // connection and is dropped before that connection's next request.
        FakeController fake;
        fake.scriptStatuses(8, {u"CLOSED"_s});
        fake.scriptReplies(u"REQ_PUMP_STATUS"_s, 8, {A::delayed(2500)});
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        startMonitoring(form);
        form.PollPumpStatus(8);
        QCOMPARE(form.FLastStatus[8], QString());
        QVERIFY(fake.waitForExchanges(1));
        for (int pump = 9; pump <= 12; ++pump) { // the fourth reuses pump 8's slot
            form.PollPumpStatus(pump);
            QCOMPARE(form.FLastStatus[pump], u"IDLE"_s);
        }
    }

    void failedExchangeDropsTheConnectionSilently()
    {
        FakeController fake;
        fake.scriptReplies(u"REQ_PUMP_STATUS"_s, 2, {A::reset()});
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        startMonitoring(form);
        form.PollPumpStatus(2);
        const auto slot = form.FPumpClients[form.FClientIndex];
        QVERIFY(!slot->IsConnected());
        QCOMPARE(form.FLastStatus[2], QString());
        // The next poll that takes this connection opens it again.
        for (int i = 0; i < 4; ++i) {
            form.PollPumpStatus(2);
        }
        QCOMPARE(form.FLastStatus[2], u"IDLE"_s);
    }

    void unreachableControllerLeavesEverything()
    {
        FormFixture fixture; // nothing listens
        TForm1& form = fixture.form();
        startMonitoring(form);
        fixture.markLog();
        ticks(form, 20);
        QCOMPARE(form.FCurrentPump, 1);
        QVERIFY(!form.FFileNeedsSave);
        QVERIFY(!QFile::exists(fixture.fixed().stateFilePath()));
        QVERIFY(fixture.logSinceMark().isEmpty());
    }

    // Timer1 is re-armed after each tick for what is left of the period, so
    // the period holds however the platform treats a timer whose handler
    // outlasts it: a tick due during a poll comes once, right after it.
    void timer1KeepsItsPeriod()
    {
        using namespace std::chrono_literals;
        FormFixture fixture;
        TForm1& form = fixture.form();
        form.StartMonitoring();
        QVERIFY(form.Timer1->isActive() && form.Timer1->isSingleShot());
        QVERIFY(form.Timer1->remainingTime() <= 50);

        // A poll that took 30 ms: the next tick 50 ms after the last one.
        form.Timer1->stop();
        auto due = std::chrono::steady_clock::now() - 30ms;
        form.FTimer1Due = due;
        form.ScheduleTimer1();
        QVERIFY(form.Timer1->isActive());
        QVERIFY(form.FTimer1Due == due + 50ms);
        QVERIFY(form.Timer1->remainingTime() <= 20);

        // A poll that outlasted two periods: one tick at once, and the one
        // after it a whole period later, not another backlog tick.
        form.Timer1->stop();
        form.FTimer1Due = std::chrono::steady_clock::now() - 130ms;
        const auto before = std::chrono::steady_clock::now();
        form.ScheduleTimer1();
        QCOMPARE(form.Timer1->remainingTime(), 0);
        QVERIFY(form.FTimer1Due >= before);
        form.Timer1->stop();
        due = form.FTimer1Due;
        form.ScheduleTimer1();
        QVERIFY(form.FTimer1Due == due + 50ms);

        // Monitoring restarted inside the poll armed the timer itself.
        const int remaining = form.Timer1->remainingTime();
        form.ScheduleTimer1();
        QVERIFY(form.FTimer1Due == due + 50ms);
        QVERIFY(form.Timer1->remainingTime() <= remaining);

        // Stopped during the poll: no further tick.
        form.StopMonitoring();
        form.ScheduleTimer1();
        QVERIFY(!form.Timer1->isActive());
    }

    void stopAndRestartKeepPumpData()
    {
        FakeController fake;
        fake.scriptStatuses(1, {u"CALLING"_s});
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        startMonitoring(form);
        ticks(form, 3);
        QCOMPARE(form.FCurrentPump, 4);
        const qint32 slot = form.FClientIndex;
        fixture.markLog();
        form.Button3Click();
        QVERIFY(!form.FMonitoringActive);
        QVERIFY(!form.Timer1->isActive() && !form.Timer2->isActive());
        QCOMPARE(form.LabelStatus->text(), u"Estado: Monitoreo detenido"_s);
        QCOMPARE(
            fixture.logSinceMark(),
            (QStringList{u"Estado de surtidores guardado en "_s + fixture.fixed().stateFilePath(),
                         u"Pool de clientes liberado"_s, u"Monitoreo detenido"_s}));
        form.Timer1Timer(); // a tick delivered after the stop does nothing
        QCOMPARE(form.FCurrentPump, 4);

        fake.clearRecord();
        startMonitoring(form);
        QCOMPARE(form.FCurrentPump, 1);
        form.Timer1Timer();
        QCOMPARE(polledPumps(fake), QStringList{u"001"_s});
        QCOMPARE(form.FClientIndex, slot % 4 + 1);
        // Still CALLING: no change, no second authorization; counters kept.
        QCOMPARE(form.surtidor1->text(), u"CALLING"_s);
        QCOMPARE(form.FAuthSentCount[1], 1);
        QVERIFY(authorized(fake).isEmpty());
        // Already active: nothing, not even a line; the cycle and the pool
        // go on as they were, and the timers the test holds still stay so.
        fixture.markLog();
        form.StartMonitoring();
        QVERIFY(fixture.logSinceMark().isEmpty());
        QVERIFY(form.FMonitoringActive);
        QCOMPARE(form.FCurrentPump, 2);
        QCOMPARE(form.FClientIndex, slot % 4 + 1);
        QVERIFY(!form.Timer1->isActive() && !form.Timer2->isActive());
        QCOMPARE(polledPumps(fake), QStringList{u"001"_s});
        form.Timer1Timer();
        QCOMPARE(polledPumps(fake), (QStringList{u"001"_s, u"002"_s}));
        form.Button3Click();
        fixture.markLog();
        form.StopMonitoring(); // already stopped
        QVERIFY(fixture.logSinceMark().isEmpty());
    }

    void outOfRangePumpIsIgnored()
    {
        FormFixture fixture;
        TForm1& form = fixture.form();
        form.UpdatePumpStatus(0, u"CALLING"_s);
        form.UpdatePumpStatus(21, u"CALLING"_s);
        QVERIFY(!form.FFileNeedsSave);
    }

    // Re-entry: an authorization that must open the main connection updates
    // the status line, which runs the events queued before the poll nested
    // inside it.
    void nestedHandlersDuringAnAuthorization_data()
    {
        QTest::addColumn<QString>("nested");
        QTest::newRow("status tick") << u"tick"_s;
        QTest::newRow("sales tick") << u"sales"_s;
        QTest::newRow("stop button") << u"stop"_s;
        QTest::newRow("disconnect button") << u"disconnect"_s;
        QTest::newRow("stop and connect again") << u"restart"_s;
    }

    void nestedHandlersDuringAnAuthorization()
    {
        QFETCH(QString, nested);
        FakeController fake;
        fake.scriptStatuses(4, {u"CALLING"_s});
        fake.scriptSales(1, {veltrane::testing::SampleSale(1, 9)});
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        startMonitoring(form);
        ticks(form, 3); // pumps 1..3, all IDLE; the main connection is closed
        QVERIFY(!form.TCPClient->IsConnected());

        if (nested == u"tick"_s) {
            QTimer::singleShot(0, &form, [&form] { form.Timer1Timer(); });
        } else if (nested == u"sales"_s) {
            QTimer::singleShot(0, &form, [&form] { form.Timer2Timer(); });
        } else if (nested == u"stop"_s) {
            QTimer::singleShot(0, form.Button3, &QPushButton::click);
        } else if (nested == u"disconnect"_s) {
            QTimer::singleShot(0, form.ButtonDisconnect, &QPushButton::click);
        } else {
            QTimer::singleShot(0, form.Button3, &QPushButton::click);
            QTimer::singleShot(0, form.ButtonConnect, &QPushButton::click);
        }
        form.Timer1Timer(); // pump 4: CALLING

        QCOMPARE(form.FLastStatus[4], u"CALLING"_s);
        QCOMPARE(form.FAuthSentCount[4], 1);
        QVERIFY(fixture.failures().isEmpty());
        const QStringList log = fixture.logLines();
        if (nested == u"tick"_s) {
            // The nested tick polled pump 4 again; the outer one advanced past it.
            QCOMPARE(polledPumps(fake).count(u"004"_s), 2);
            QCOMPARE(form.FCurrentPump, 6);
            QCOMPARE(authorized(fake), QStringList{u"004"_s});
        } else if (nested == u"sales"_s) {
            QCOMPARE(form.FSalesCheckCount, 1);
            QCOMPARE(authorized(fake), QStringList{u"004"_s});
            QVERIFY(log.contains(u"=== ParseAndSaveLastSale: FIN ==="_s));
        } else if (nested == u"stop"_s) {
            QVERIFY(!form.FMonitoringActive);
            QCOMPARE(authorized(fake), QStringList{u"004"_s}); // the main connection stays
            form.Timer1Timer();                                // ignored after the stop
        } else if (nested == u"disconnect"_s) {
            QVERIFY(!form.FMonitoringActive);
            QVERIFY(authorized(fake).isEmpty());
            QVERIFY(log.contains(u"Autorización enviada a surtidor 004"_s));
            QVERIFY(std::any_of(log.begin(), log.end(), [](const QString& line) {
                return line.startsWith(u"Error enviando comando: "_s);
            }));
        } else {
            QVERIFY(form.FMonitoringActive);
            QCOMPARE(form.LabelStatus->text(), u"Estado: Conectado y monitoreando"_s);
            form.Timer1Timer(); // the new pool works
            QVERIFY(fake.requests(u"REQ_PUMP_STATUS"_s).size() >= 5);
        }
        for (int slot = 1; slot <= veltrane::kPoolSize; ++slot) {
            if (form.FMonitoringActive) {
                QVERIFY(form.FPumpClients[slot]);
            } else {
                QVERIFY(!form.FPumpClients[slot]);
            }
        }
    }

    void salirNestedInsideAPollEndsCleanly()
    {
        FakeController fake;
        fake.scriptStatuses(1, {u"CALLING"_s});
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        startMonitoring(form);
        QTimer::singleShot(0, &form, [&form] {
            QTimer::singleShot(0, &form, [&form] { form.TrayExitClick(); });
            form.Timer1Timer();
        });
        QCOMPARE(QApplication::exec(), 0);
        QCOMPARE(form.FCurrentPump, 2); // the outer poll ended normally
        fixture.markLog();
        fixture.destroy();
        QCOMPARE(fixture.logSinceMark().first(), u"=== APLICACIÓN CERRANDO ==="_s);
        QVERIFY(fixture.logSinceMark().contains(u"Monitoreo detenido"_s));
    }

    void failedAuthorizationCountsAndIsNotRepeated()
    {
        // The pool reaches the controller but the main connection cannot open:
        // simulate by pointing the main connection at a dead port.
        FakeController fake;
        fake.scriptStatuses(2, {u"CALLING"_s});
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        veltrane::testing::RefusingPort refusing;
        form.TCPClient->SetPort(refusing.port());
        startMonitoring(form);
        fixture.markLog();
        form.PollPumpStatus(2);
        QCOMPARE(form.FLastStatus[2], u"CALLING"_s);
        QCOMPARE(form.FAuthSentCount[2], 1);
        QVERIFY(form.FFileNeedsSave);
        QVERIFY(form.LabelStatus->text().startsWith(u"Estado: Error: "_s));
        QVERIFY(fixture.logSinceMark().isEmpty());
        // The pool connection that delivered the reply was dropped.
        QVERIFY(!form.FPumpClients[form.FClientIndex]->IsConnected());
        form.TCPClient->SetPort(fake.port());
        for (int i = 0; i < 4; ++i) {
            form.PollPumpStatus(2);
        }
        QVERIFY(authorized(fake).isEmpty());
    }
};

QTEST_MAIN(TestFormPolling)
#include "test_form_polling.moc"
