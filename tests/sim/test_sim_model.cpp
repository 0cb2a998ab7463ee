// The stand-in's pump model, stepped by hand: calls, authorization, fuelling,
// sales, stop and resume, prices, and repeatable runs.

#include "sim/pump_model.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace veltrane::sim;

namespace {

ModelSettings quietSettings(quint64 seed = 1)
{
    ModelSettings s;
    s.seed = seed;
    s.randomCalls = false;
    s.startWall = QDateTime(QDate(2024, 1, 31), QTime(14, 0, 0));
    return s;
}

// Every event the model reports, in order.
struct Events
{
    QList<ModelEvent> list;
    void attach(PumpModel& m)
    {
        m.setListener([this](const ModelEvent& e) { list.append(e); });
    }
    QStringList transitions(int pump) const
    {
        QStringList out;
        for (const ModelEvent& e : list) {
            if (e.pump == pump && e.kind == ModelEvent::Kind::StatusChanged) {
                out.append(e.to + u'/' + e.cause);
            }
        }
        return out;
    }
    QList<Sale> sales() const
    {
        QList<Sale> out;
        for (const ModelEvent& e : list) {
            if (e.kind == ModelEvent::Kind::SaleCompleted) {
                out.append(e.sale);
            }
        }
        return out;
    }
};

qint64 millilitres(const QString& litres)
{
    const QStringList parts = litres.split(u'.');
    return parts.value(0).toLongLong() * 1000 + parts.value(1).toLongLong();
}

// Runs one whole fill of the pump: call, authorize, fuel to the end.
void fillOnce(PumpModel& m, int pump)
{
    QVERIFY(m.liftNozzle(pump));
    QCOMPARE(m.authorize(pump), u"OK"_s);
    m.advanceTo(m.now() + 3000);
    QCOMPARE(m.state(pump), PumpState::Fuelling);
    m.advanceTo(m.now() + 200'000);
    QCOMPARE(m.state(pump), PumpState::Idle);
}

} // namespace

class TestSimModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lifeCycleEndsInASale();
    void unansweredCallGivesUp();
    void stopWhileFuellingSellsWhatFlowed();
    void stopAndResume();
    void commandsOutOfState();
    void prices_data();
    void prices();
    void priceChangeReachesTheNextSale();
    void idsAndTotalizersAcrossSales();
    void sameSeedSameRun();
    void randomCallsAtExactTimes();
};

void TestSimModel::lifeCycleEndsInASale()
{
    PumpModel m(quietSettings());
    Events events;
    events.attach(m);
    QCOMPARE(m.status(7), u"IDLE"_s);
    QVERIFY(!m.lastSale(7));

    QVERIFY(m.liftNozzle(7));
    QCOMPARE(m.status(7), u"CALLING"_s);
    QCOMPARE(m.authorize(7), u"OK"_s);
    QCOMPARE(m.status(7), u"AUTHORIZED"_s);
    m.advanceTo(3000);
    QCOMPARE(m.status(7), u"FUELLING"_s);
    m.advanceTo(200'000);
    QCOMPARE(m.status(7), u"IDLE"_s);

    QCOMPARE(events.transitions(7), (QStringList{u"CALLING/nozzle"_s, u"AUTHORIZED/authorize"_s,
                                                 u"FUELLING/fuel_start"_s, u"IDLE/fuel_end"_s}));
    QCOMPARE(events.sales().size(), 1);
    const Sale sale = *m.lastSale(7);
    QCOMPARE(events.sales().first(), sale);
    QCOMPARE(sale.ti1, u"1"_s);
    QCOMPARE(sale.sa1, u"100001"_s);
    QCOMPARE(sale.pm, u"7"_s);
    QCOMPARE(sale.da1, u"20240131"_s);
    QCOMPARE(sale.sti1.size(), 6);
    QVERIFY(sale.sti1 >= u"140000"_s && sale.sti1 <= u"140320"_s);
    const int hose = sale.ho1.toInt();
    QVERIFY(hose >= 1 && hose <= m.hoseGrades(7).size());
    QCOMPARE(sale.gr1.toInt(), m.hoseGrades(7)[hose - 1]);
    const qint64 volume = millilitres(sale.vo1);
    QVERIFY(volume >= 5000 && volume <= 60000);
    QCOMPARE(millilitres(sale.fv1) - millilitres(sale.iv1), volume);
    QCOMPARE(millilitres(sale.fv1), m.totalizerMl(7, hose));
    // Amount = volume x unit price, rounded to cents.
    const qint64 cents = qRound64(sale.pu1.toDouble() * 100);
    QCOMPARE(qRound64(sale.am1.toDouble() * 100), (volume * cents + 500) / 1000);
    QVERIFY((QStringList{u"EFECTIVO"_s, u"TARJETA"_s, u"CREDITO"_s, u"FLOTA"_s, u"0"_s})
                .contains(sale.payTy1));
    QVERIFY(sale.avgtm1.contains(u'.'));
}

void TestSimModel::unansweredCallGivesUp()
{
    ModelSettings s = quietSettings();
    s.callTimeoutMs = 10'000;
    PumpModel m(s);
    Events events;
    events.attach(m);
    QVERIFY(m.liftNozzle(3));
    m.advanceTo(9'999);
    QCOMPARE(m.status(3), u"CALLING"_s);
    m.advanceTo(10'000);
    QCOMPARE(m.status(3), u"IDLE"_s);
    QCOMPARE(events.list.last().cause, u"call_timeout"_s);
    QCOMPARE(events.list.last().modelMs, 10'000);
    QVERIFY(events.sales().isEmpty());
    QCOMPARE(m.authorize(3), u"ERR_STATE"_s); // too late
}

void TestSimModel::stopWhileFuellingSellsWhatFlowed()
{
    PumpModel m(quietSettings());
    Events events;
    events.attach(m);
    QVERIFY(m.liftNozzle(5));
    m.authorize(5);
    m.advanceTo(3000);
    QCOMPARE(m.state(5), PumpState::Fuelling);
    m.advanceTo(m.now() + 4000);
    const qint64 delivered = m.deliveredMl(5);
    QVERIFY(delivered > 0);

    QCOMPARE(m.stop(5), u"OK"_s);
    QCOMPARE(m.status(5), u"CLOSED"_s);
    QCOMPARE(events.sales().size(), 1);
    QCOMPARE(millilitres(m.lastSale(5)->vo1), delivered);
    // Nothing more happens to a closed pump.
    m.advanceTo(m.now() + 1'000'000);
    QCOMPARE(m.status(5), u"CLOSED"_s);
    QCOMPARE(events.sales().size(), 1);
}

void TestSimModel::stopAndResume()
{
    PumpModel m(quietSettings());
    Events events;
    events.attach(m);
    QCOMPARE(m.stop(2), u"OK"_s);
    QCOMPARE(m.status(2), u"CLOSED"_s);
    QVERIFY(!m.liftNozzle(2));
    QCOMPARE(m.resume(2), u"OK"_s);
    QCOMPARE(m.status(2), u"IDLE"_s);
    QCOMPARE(events.transitions(2), (QStringList{u"CLOSED/stop"_s, u"IDLE/resume"_s}));
    QVERIFY(m.liftNozzle(2)); // open again
}

void TestSimModel::commandsOutOfState()
{
    PumpModel m(quietSettings());
    QCOMPARE(m.authorize(1), u"ERR_STATE"_s); // nobody is calling
    QCOMPARE(m.resume(1), u"OK"_s);           // already open: nothing to do
    QCOMPARE(m.status(1), u"IDLE"_s);
    m.stop(1);
    QCOMPARE(m.authorize(1), u"ERR_STATE"_s);
    QVERIFY(m.liftNozzle(4));
    QCOMPARE(m.authorize(4), u"OK"_s);
    QCOMPARE(m.authorize(4), u"OK"_s); // a repeat changes nothing
    QCOMPARE(m.status(4), u"AUTHORIZED"_s);
}

void TestSimModel::prices_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("cents"); // -1: refused

    QTest::newRow("whole") << u"812"_s << qint64(81200);
    QTest::newRow("point") << u"745.5"_s << qint64(74550);
    QTest::newRow("comma") << u"745,50"_s << qint64(74550);
    QTest::newRow("leading mark") << u".5"_s << qint64(50);
    QTest::newRow("three decimals") << u"1.299"_s << qint64(-1);
    QTest::newRow("zero") << u"0"_s << qint64(-1);
    QTest::newRow("negative") << u"-5"_s << qint64(-1);
    QTest::newRow("blank") << u" 5"_s << qint64(-1);
    QTest::newRow("two marks") << u"1.2.3"_s << qint64(-1);
    QTest::newRow("euro") << u"5€"_s << qint64(-1);
    QTest::newRow("too large") << u"100000"_s << qint64(-1);
    QTest::newRow("mark alone") << u"."_s << qint64(-1);
}

void TestSimModel::prices()
{
    QFETCH(QString, text);
    QFETCH(qint64, cents);
    PumpModel m(quietSettings());
    const qint64 before = m.priceCents(1, 6);
    QString bad;
    const QString rc = m.changePrices(1, {{u"GP"_s, u"900"_s}, {u"GR"_s, text}}, &bad);
    if (cents < 0) {
        QCOMPARE(rc, u"ERR_PRICE"_s);
        QCOMPARE(bad, u"GR"_s);
        QCOMPARE(m.priceCents(1, 6), before);
        QCOMPARE(m.priceCents(1, 3), qint64(81200)); // all or nothing
    } else {
        QCOMPARE(rc, u"OK"_s);
        QCOMPARE(m.priceCents(1, 6), cents);
        QCOMPARE(m.priceCents(1, 3), qint64(90000));
    }
    QCOMPARE(m.priceCents(2, 6), before); // other pumps keep theirs
}

void TestSimModel::priceChangeReachesTheNextSale()
{
    PumpModel m(quietSettings());
    // Every key, one grade each; empty keeps the price; KR is kept but unsold.
    QCOMPARE(m.changePrices(9, {{u"GP"_s, u"1"_s},
                                {u"GR"_s, u"2"_s},
                                {u"DP"_s, u"3"_s},
                                {u"DR"_s, u""_s},
                                {u"KR"_s, u"5"_s},
                                {u"RC"_s, u"6"_s}}),
             u"OK"_s);
    QCOMPARE(m.priceCents(9, 3), qint64(100));
    QCOMPARE(m.priceCents(9, 6), qint64(200));
    QCOMPARE(m.priceCents(9, 8), qint64(300));
    QCOMPARE(m.priceCents(9, 7), qint64(68900));
    QCOMPARE(m.priceCents(9, 9), qint64(600));
    fillOnce(m, 9);
    const Sale sale = *m.lastSale(9);
    const QHash<int, QString> expected = {
        {3, u"1.00"_s}, {6, u"2.00"_s}, {7, u"689.00"_s}, {8, u"3.00"_s}, {9, u"6.00"_s}};
    QCOMPARE(sale.pu1, expected.value(sale.gr1.toInt()));
}

void TestSimModel::idsAndTotalizersAcrossSales()
{
    PumpModel m(quietSettings());
    Events events;
    events.attach(m);
    for (int round = 0; round < 3; ++round) {
        for (const int pump : {1, 2, 17}) {
            fillOnce(m, pump);
        }
    }
    const QList<Sale> sales = events.sales();
    QCOMPARE(sales.size(), 9);
    QHash<QString, qint64> lastTotal; // pump/hose -> totalizer
    QHash<QString, int> lastNumber;   // pump -> TI1
    for (qsizetype i = 0; i < sales.size(); ++i) {
        const Sale& s = sales[i];
        QCOMPARE(s.sa1, QString::number(100001 + i));        // unique across the station
        QCOMPARE(s.ti1.toInt(), lastNumber.value(s.pm) + 1); // per pump
        lastNumber[s.pm] = s.ti1.toInt();
        const QString hose = s.pm + u'/' + s.ho1;
        if (lastTotal.contains(hose)) {
            QCOMPARE(millilitres(s.iv1), lastTotal[hose]);
        }
        QVERIFY(millilitres(s.fv1) > millilitres(s.iv1));
        lastTotal[hose] = millilitres(s.fv1);
    }
}

void TestSimModel::sameSeedSameRun()
{
    auto run = [](quint64 seed) {
        ModelSettings s = quietSettings(seed);
        s.randomCalls = true;
        s.meanIdleMs = 5000;
        s.callTimeoutMs = 4000;
        PumpModel m(s);
        Events events;
        events.attach(m);
        // Authorize whatever calls, in coarse steps, for ten model minutes.
        for (qint64 t = 0; t <= 600'000; t += 700) {
            m.advanceTo(t);
            for (int p = 1; p <= PumpModel::kPumps; p += 2) {
                if (m.state(p) == PumpState::Calling) {
                    m.authorize(p);
                }
            }
        }
        return events.list;
    };
    const QList<ModelEvent> a = run(42);
    const QList<ModelEvent> b = run(42);
    const QList<ModelEvent> c = run(43);
    QVERIFY(a.size() > 100);
    QCOMPARE(a.size(), b.size());
    bool sameAsOther = a.size() == c.size();
    for (qsizetype i = 0; i < a.size(); ++i) {
        QCOMPARE(a[i].modelMs, b[i].modelMs);
        QCOMPARE(a[i].pump, b[i].pump);
        QCOMPARE(a[i].to, b[i].to);
        QCOMPARE(a[i].sale, b[i].sale);
        sameAsOther = sameAsOther && a[i].modelMs == c[i].modelMs;
    }
    QVERIFY(!sameAsOther);
}

void TestSimModel::randomCallsAtExactTimes()
{
    ModelSettings s = quietSettings(7);
    s.randomCalls = true;
    s.meanIdleMs = 2000;
    s.callTimeoutMs = 1000;
    PumpModel fine(s);
    PumpModel coarse(s);
    Events fineEvents;
    Events coarseEvents;
    fineEvents.attach(fine);
    coarseEvents.attach(coarse);
    for (qint64 t = 0; t <= 60'000; t += 10) {
        fine.advanceTo(t);
    }
    coarse.advanceTo(60'000); // one step: the same transitions at the same times
    QVERIFY(fineEvents.list.size() > 50);
    QCOMPARE(coarseEvents.list.size(), fineEvents.list.size());
    for (qsizetype i = 0; i < fineEvents.list.size(); ++i) {
        QCOMPARE(coarseEvents.list[i].modelMs, fineEvents.list[i].modelMs);
        QCOMPARE(coarseEvents.list[i].pump, fineEvents.list[i].pump);
    }
}

QTEST_APPLESS_MAIN(TestSimModel)
#include "test_sim_model.moc"
