// The stand-in's side of the wire: reading request frames from a stream that
// splits and merges them, taking bodies apart, and carrying out reply actions.

#include "sim/protocol.h"
#include "sim/reply_plan.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace veltrane::sim;

using ByteChunks = QList<QByteArray>;

class TestSimProtocol : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void frames_data();
    void frames();
    void badHeaders_data();
    void badHeaders();
    void requests_data();
    void requests();
    void pumpNumbers_data();
    void pumpNumbers();
    void replyFrame();
    void planSteps();
};

void TestSimProtocol::frames_data()
{
    QTest::addColumn<ByteChunks>("chunks");
    QTest::addColumn<QList<QByteArray>>("bodies");

    const QByteArray status = "2||POST|REQ_PUMP_STATUS|||PM=007||^";
    const QByteArray sales = "2||POST|REQ_GET_PUMP_SALES|||PM=7|QT=1||^";
    const QByteArray statusFrame = "00035|5|" + status;
    const QByteArray salesFrame = "00041|5|" + sales;

    ByteChunks byByte;
    for (const char c : statusFrame) {
        byByte.append(QByteArray(1, c));
    }
    QTest::newRow("one piece") << ByteChunks{statusFrame} << QList<QByteArray>{status};
    QTest::newRow("byte by byte") << byByte << QList<QByteArray>{status};
    QTest::newRow("split inside the header")
        << ByteChunks{"000", "35|", "5", "|2||POST", status.sliced(7)} << QList<QByteArray>{status};
    QTest::newRow("two in one read")
        << ByteChunks{statusFrame + salesFrame} << QList<QByteArray>{status, sales};
    QTest::newRow("one and a half, then the rest")
        << ByteChunks{statusFrame + salesFrame.first(20), salesFrame.sliced(20)}
        << QList<QByteArray>{status, sales};
    QTest::newRow("six-digit length") << ByteChunks{"100000|5|" + QByteArray(100000, 'x')}
                                      << QList<QByteArray>{QByteArray(100000, 'x')};
    QTest::newRow("empty body") << ByteChunks{"00000|5|"} << QList<QByteArray>{QByteArray()};
    QTest::newRow("incomplete body waits") << ByteChunks{"00010|5|abc"} << QList<QByteArray>{};
}

void TestSimProtocol::frames()
{
    QFETCH(ByteChunks, chunks);
    QFETCH(QList<QByteArray>, bodies);
    FrameReader reader;
    QList<QByteArray> got;
    for (const QByteArray& chunk : chunks) {
        reader.append(chunk);
        QByteArray body;
        QString error;
        FrameReader::Result r;
        while ((r = reader.next(&body, &error)) == FrameReader::Result::Frame) {
            got.append(body);
        }
        QCOMPARE(r, FrameReader::Result::NeedMore);
    }
    QCOMPARE(got, bodies);
}

void TestSimProtocol::badHeaders_data()
{
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("four digits") << QByteArray("0035|5|abc");
    QTest::newRow("letter in the length") << QByteArray("00a35|5|");
    QTest::newRow("wrong separator") << QByteArray("00035|6|");
    QTest::newRow("missing bar") << QByteArray("00035x");
    QTest::newRow("ten digits") << QByteArray("0000000001");
    QTest::newRow("body above the maximum") << QByteArray("999999999|5|");
    QTest::newRow("line end before") << QByteArray("\r\n00035|5|");
}

void TestSimProtocol::badHeaders()
{
    QFETCH(QByteArray, bytes);
    FrameReader reader;
    reader.append(bytes);
    QByteArray body;
    QString error;
    QCOMPARE(reader.next(&body, &error), FrameReader::Result::Error);
    QVERIFY(!error.isEmpty());
    // The stream stays unusable: there is no telling where a next frame starts.
    reader.append("00000|5|");
    QCOMPARE(reader.next(&body, &error), FrameReader::Result::Error);
}

void TestSimProtocol::requests_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("wellFormed");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("pm");
    QTest::addColumn<int>("requestClass");

    const int status = int(RequestClass::Status);
    const int sales = int(RequestClass::Sales);
    const int command = int(RequestClass::Command);
    const int other = int(RequestClass::Other);

    QTest::newRow("status") << QByteArray("2||POST|REQ_PUMP_STATUS|||PM=007||^") << true
                            << u"REQ_PUMP_STATUS"_s << u"007"_s << status;
    QTest::newRow("sales") << QByteArray("2||POST|REQ_GET_PUMP_SALES|||PM=12|QT=1||^") << true
                           << u"REQ_GET_PUMP_SALES"_s << u"12"_s << sales;
    QTest::newRow("price change, empty values")
        << QByteArray("2||POST|REQ_PRICE_CHANGE|||PM=001|GP=|GR=|DP=|DR=|KR=|RC=||^") << true
        << u"REQ_PRICE_CHANGE"_s << u"001"_s << command;
    QTest::newRow("no parameters")
        << QByteArray("2||POST|REQ_STOP|||||^") << true << u"REQ_STOP"_s << QString() << command;
    QTest::newRow("unknown name") << QByteArray("2||POST|REQ_REBOOT|||PM=001||^") << true
                                  << u"REQ_REBOOT"_s << u"001"_s << other;
    QTest::newRow("bar typed into the pump text")
        << QByteArray("2||POST|REQ_STOP|||PM=1|2||^") << false << QString() << QString() << other;
    QTest::newRow("no end marker")
        << QByteArray("2||POST|REQ_STOP|||PM=001") << false << QString() << QString() << other;
    QTest::newRow("wrong start") << QByteArray("1||POST|REQ_STOP|||PM=001||^") << false << QString()
                                 << QString() << other;
    QTest::newRow("empty") << QByteArray() << false << QString() << QString() << other;
}

void TestSimProtocol::requests()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, wellFormed);
    QFETCH(QString, name);
    QFETCH(QString, pm);
    QFETCH(int, requestClass);
    const Request r = ParseRequest(body);
    QCOMPARE(r.wellFormed, wellFormed);
    QCOMPARE(r.formatError.isEmpty(), wellFormed);
    QCOMPARE(r.raw, body);
    QCOMPARE(int(r.requestClass()), requestClass);
    if (wellFormed) {
        QCOMPARE(r.name, name);
        QCOMPARE(r.param(u"PM").value_or(QString()), pm);
    }
}

void TestSimProtocol::pumpNumbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("pump"); // 0: refused

    QTest::newRow("007") << u"007"_s << 7;
    QTest::newRow("7") << u"7"_s << 7;
    QTest::newRow("020") << u"020"_s << 20;
    QTest::newRow("0012") << u"0012"_s << 12;
    QTest::newRow("000") << u"000"_s << 0;
    QTest::newRow("021") << u"021"_s << 0;
    QTest::newRow("1234") << u"1234"_s << 0;
    QTest::newRow("0 7") << u"0 7"_s << 0;
    QTest::newRow("-07") << u"-07"_s << 0;
    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("huge") << u"99999999999999999999"_s << 0;
}

void TestSimProtocol::pumpNumbers()
{
    QFETCH(QString, text);
    QFETCH(int, pump);
    QCOMPARE(ParsePumpNumber(text).value_or(0), pump);
}

void TestSimProtocol::replyFrame()
{
    const QByteArray body = BuildReplyBody(
        u"RES_PUMP_STATUS", {{u"RC"_s, u"OK"_s}, {u"PM"_s, u"007"_s}, {u"PS"_s, u"IDLE"_s}});
    QCOMPARE(body, QByteArray("2||POST|RES_PUMP_STATUS|||RC=OK|PM=007|PS=IDLE||^"));
    QCOMPARE(FrameReply(body), "00049|5|" + body);
    QCOMPARE(FrameReply(QByteArray(123456, 'x')).first(9), QByteArray("123456|5|"));
    // One byte per character: Latin-1 as itself, anything else as "?".
    QCOMPARE(BuildReplyBody(u"R", {{u"A"_s, u"ñ€"_s}}), QByteArray("2||POST|R|||A=\xf1?||^"));
    // The forms a controller may give its replies.
    QCOMPARE(BuildReplyBody(u"R", {{u"A"_s, u"1"_s}}, false), QByteArray("2||POST|R|||A=1||"));
    QCOMPARE(FrameReply(body, LengthCount::None), body);
    QCOMPARE(FrameReply(body, LengthCount::Message), "00057|5|" + body);
    // A count that needs a sixth digit counts that digit too.
    const QByteArray fiveDigits = FrameReply(QByteArray(99991, 'x'), LengthCount::Message);
    QCOMPARE(fiveDigits.first(8), QByteArray("99999|5|"));
    QCOMPARE(fiveDigits.size(), 99999);
    const QByteArray sixDigits = FrameReply(QByteArray(99992, 'x'), LengthCount::Message);
    QCOMPARE(sixDigits.first(9), QByteArray("100001|5|"));
    QCOMPARE(sixDigits.size(), 100001);
    QCOMPARE(ReplyNameFor(u"REQ_GET_PUMP_SALES"), u"RES_GET_PUMP_SALES"_s);
    QCOMPARE(ReplyNameFor(u"REQ_REBOOT"), u"RES_ERROR"_s);
}

void TestSimProtocol::planSteps()
{
    const QByteArray reply = "0123456789";
    using K = ReplyStep::Kind;

    QVERIFY(PlanSteps(ReplyAction::silence(), reply).isEmpty());

    auto steps = PlanSteps(ReplyAction::delayed(700), reply);
    QCOMPARE(steps.size(), 1);
    QCOMPARE(steps[0].waitMs, 700);
    QCOMPARE(steps[0].bytes, reply);

    ReplyAction split = ReplyAction::split(3, 120);
    split.delayMs = 50;
    split.twice = true;
    steps = PlanSteps(split, reply);
    QCOMPARE(steps.size(), 4);
    QByteArray joined;
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(steps[i].kind, K::Write);
        QCOMPARE(steps[i].waitMs, i == 0 ? 50 : 120);
        QVERIFY(!steps[i].bytes.isEmpty());
        joined += steps[i].bytes;
    }
    QCOMPARE(joined, reply);
    QCOMPARE(steps[3].bytes, reply); // the copy, whole

    ReplyAction cut = ReplyAction::raw("abcdef");
    cut.cuts = {4, 0, 2, 2, 99}; // unsorted, empty and out-of-range pieces are dropped
    steps = PlanSteps(cut, reply);
    QCOMPARE(steps.size(), 3);
    QCOMPARE(steps[0].bytes, QByteArray("ab"));
    QCOMPARE(steps[1].bytes, QByteArray("cd"));
    QCOMPARE(steps[2].bytes, QByteArray("ef"));

    steps = PlanSteps(ReplyAction::reset(30), reply);
    QCOMPARE(steps.size(), 1);
    QCOMPARE(steps[0].kind, K::Reset);
    QCOMPARE(steps[0].waitMs, 30);
    QCOMPARE(PlanSteps(ReplyAction::close(), reply).value(0).kind, K::Close);
}

QTEST_APPLESS_MAIN(TestSimProtocol)
#include "test_sim_protocol.moc"
