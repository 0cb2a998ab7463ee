// The watch over status poll answers, with time moved by hand.
#include "core/failure.h"
#include "monitor/reply_watch.h"

#include <QTest>

using namespace Qt::StringLiterals;
using veltrane::monitor::ReplyWatch;
using Change = veltrane::monitor::ReplyWatch::Change;

Q_DECLARE_METATYPE(veltrane::monitor::ReplyWatch::Change)

namespace {

const QDateTime kStart(QDate(2024, 1, 31), QTime(14, 32, 0));

// A watch of 20 pumps whose clock reads kStart plus `ms`.
struct Watched
{
    qint64 ms = 0;
    ReplyWatch watch{20, [this] { return kStart.addMSecs(ms); }};
};

} // namespace

class TestReplyWatch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void staleTilesAndOneOutage()
    {
        Watched w;
        ReplyWatch& watch = w.watch;
        watch.Start();
        w.ms = 1000;
        QCOMPARE(watch.NoteAnswer(1), Change::None);
        w.ms = 1500;
        QCOMPARE(watch.NoteSilence(2), Change::None); // one pump silent is no outage
        QVERIFY(watch.Stale(2));
        QVERIFY(!watch.Stale(1));
        QVERIFY(!watch.InOutage());

        w.ms = 3999; // 2999 ms since the last answer
        QCOMPARE(watch.NoteSilence(3), Change::None);
        w.ms = 4000;
        QCOMPARE(watch.NoteSilence(4), Change::OutageStarted);
        QVERIFY(watch.InOutage());
        QCOMPARE(watch.SilentSince(), kStart.addMSecs(1000));
        // Started once: later silence and time passing report nothing new.
        w.ms = 9000;
        QCOMPARE(watch.NoteSilence(5), Change::None);
        QCOMPARE(watch.Check(), Change::None);

        w.ms = 10000;
        QCOMPARE(watch.NoteAnswer(6), Change::OutageEnded);
        QVERIFY(!watch.InOutage());
        QCOMPARE(watch.LastOutageMs(), qint64(9000));
        QCOMPARE(watch.NoteAnswer(7), Change::None);
        // A pump stays stale until it answers itself.
        QVERIFY(watch.Stale(2));
        QVERIFY(!watch.Stale(6));
        QCOMPARE(watch.LastAnswer(6), kStart.addMSecs(10000));
        QCOMPARE(watch.LastAnswer(2), std::nullopt);
    }

    void silenceFromTheStartAndTimeAlone()
    {
        // No pump ever answered: the silence counts from the start, and time
        // passing alone (no poll ending) is enough to call it.
        Watched w;
        w.watch.Start();
        w.ms = 2999;
        QCOMPARE(w.watch.Check(), Change::None);
        w.ms = 3000;
        QCOMPARE(w.watch.Check(), Change::OutageStarted);
        QCOMPARE(w.watch.SilentSince(), kStart);
    }

    void stopEndsTheWatchWithoutAnEnd()
    {
        Watched w;
        ReplyWatch& watch = w.watch;
        watch.Start();
        watch.NoteAnswer(3);
        w.ms = 5000;
        QCOMPARE(watch.NoteSilence(3), Change::OutageStarted);
        watch.Stop();
        QVERIFY(!watch.InOutage());
        QVERIFY(!watch.Stale(3));
        // Nothing is watched while stopped.
        w.ms = 20000;
        QCOMPARE(watch.NoteSilence(3), Change::None);
        QCOMPARE(watch.Check(), Change::None);
        QVERIFY(!watch.Stale(3));
        // A new start counts afresh and keeps when each pump last answered.
        watch.Start();
        QCOMPARE(watch.LastAnswer(3), kStart);
        w.ms = 22999;
        QCOMPARE(watch.NoteSilence(3), Change::None);
        w.ms = 23000;
        QCOMPARE(watch.NoteSilence(3), Change::OutageStarted);
        QCOMPARE(watch.SilentSince(), kStart.addMSecs(20000));
    }

    void clockSetBackIsNoOutage()
    {
        Watched w;
        w.ms = 60000;
        w.watch.Start();
        w.ms = 0; // the clock went back a minute
        QCOMPARE(w.watch.NoteSilence(1), Change::None);
        w.ms = 62000;
        QCOMPARE(w.watch.NoteSilence(1), Change::None);
        w.ms = 63000;
        QCOMPARE(w.watch.Check(), Change::OutageStarted);
        w.ms = 1000; // back again before the answer: the length is never negative
        QCOMPARE(w.watch.NoteAnswer(1), Change::OutageEnded);
        QCOMPARE(w.watch.LastOutageMs(), qint64(0));
    }

    void pumpOutOfRangeIsAFailure()
    {
        ReplyWatch watch(20);
        watch.Start();
        QVERIFY_THROWS_EXCEPTION(veltrane::Failure, watch.NoteSilence(0));
        QVERIFY_THROWS_EXCEPTION(veltrane::Failure, watch.NoteAnswer(21));
        QVERIFY_THROWS_EXCEPTION(veltrane::Failure, watch.Stale(21));
    }

    void texts_data()
    {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<QString>("duration");
        QTest::newRow("under a second") << qint64(999) << u"menos de 1 s"_s;
        QTest::newRow("one second") << qint64(1000) << u"1 s"_s;
        QTest::newRow("just under a minute") << qint64(59999) << u"59 s"_s;
        QTest::newRow("a minute") << qint64(60000) << u"1 min 00 s"_s;
        QTest::newRow("minutes") << qint64(185000) << u"3 min 05 s"_s;
        QTest::newRow("an hour") << qint64(3600000) << u"1 h 00 min"_s;
        QTest::newRow("hours") << qint64(7659000) << u"2 h 07 min"_s;
    }

    void texts()
    {
        QFETCH(qint64, ms);
        QFETCH(QString, duration);
        using namespace veltrane::monitor;
        QCOMPARE(DurationText(ms), duration);
        QCOMPARE(OutageEndedText(ms),
                 u"El controlador responde de nuevo tras "_s + duration + u" sin respuesta"_s);
        QCOMPARE(StaleText(kStart, kStart.addMSecs(ms)), u"sin respuesta · hace "_s + duration);
        QCOMPARE(StaleText(std::nullopt, kStart), u"sin respuesta"_s);
        QCOMPARE(OutageText(kStart.addSecs(5)),
                 u"Sin respuesta del controlador desde las 14:32:05"_s);
    }
};

QTEST_GUILESS_MAIN(TestReplyWatch)
#include "test_reply_watch.moc"
