// Wire format of the controller protocol: request frames, the pump number
// forms, 7-bit ASCII both ways and the two reply readers.

#include "link/wire.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace veltrane::link;

namespace {

// The length field of a frame, checked against the bytes that really follow
// "|5|" once the frame is encoded for the wire.
void verifyLengthMatchesWireBytes(const QString& frame)
{
    const QByteArray wire = EncodeWireText(frame);
    const qsizetype bar = wire.indexOf("|5|");
    QVERIFY(bar >= 5);
    bool ok = false;
    const qlonglong declared = wire.first(bar).toLongLong(&ok);
    QVERIFY(ok);
    QCOMPARE(declared, qlonglong(wire.size() - bar - 3));
}

} // namespace

class TestWire : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void frames_data();
    void frames();
    void lengthField_data();
    void lengthField();
    void threeDigitPump_data();
    void threeDigitPump();
    void encode_data();
    void encode();
    void decode_data();
    void decode();
    void extractFieldValue_data();
    void extractFieldValue();
    void extractPumpStatus_data();
    void extractPumpStatus();
};

void TestWire::frames_data()
{
    QTest::addColumn<QString>("frame");
    QTest::addColumn<QString>("expected");

    QTest::newRow("status pump 7")
        << BuildPumpStatusRequest(7) << u"00035|5|2||POST|REQ_PUMP_STATUS|||PM=007||^"_s;
    QTest::newRow("status pump 12")
        << BuildPumpStatusRequest(12) << u"00035|5|2||POST|REQ_PUMP_STATUS|||PM=012||^"_s;
    QTest::newRow("authorize 003")
        << BuildAuthorizeRequest(u"003") << u"00038|5|2||POST|REQ_AUTHORIZE|||PM=003|AU=1||^"_s;
    QTest::newRow("stop 005") << BuildStopRequest(u"005")
                              << u"00028|5|2||POST|REQ_STOP|||PM=005||^"_s;
    QTest::newRow("resume 007") << BuildResumeRequest(u"007")
                                << u"00030|5|2||POST|REQ_RESUME|||PM=007||^"_s;
    // The operator's pump text goes out exactly as given: long texts and a
    // blank inside are not touched, and the length counts every character.
    QTest::newRow("stop 1234 as typed")
        << BuildStopRequest(u"1234") << u"00029|5|2||POST|REQ_STOP|||PM=1234||^"_s;
    QTest::newRow("resume 0 7 keeps the blank")
        << BuildResumeRequest(u"0 7") << u"00030|5|2||POST|REQ_RESUME|||PM=0 7||^"_s;
    QTest::newRow("sales pump 12 plain decimal")
        << BuildPumpSalesRequest(12) << u"00042|5|2||POST|REQ_GET_PUMP_SALES|||PM=12|QT=1||^"_s;
    QTest::newRow("sales pump 7 one character less")
        << BuildPumpSalesRequest(7) << u"00041|5|2||POST|REQ_GET_PUMP_SALES|||PM=7|QT=1||^"_s;
    QTest::newRow("price change all empty")
        << BuildPriceChangeRequest(u"001", {})
        << u"00060|5|2||POST|REQ_PRICE_CHANGE|||PM=001|GP=|GR=|DP=|DR=|KR=|RC=||^"_s;
    QTest::newRow("price change order and raw texts")
        << BuildPriceChangeRequest(u"012", {u"1,299"_s, u" 2"_s, u"3"_s, u"4"_s, u"5"_s, u"6"_s})
        << u"00071|5|2||POST|REQ_PRICE_CHANGE|||PM=012|GP=1,299|GR= 2|DP=3|DR=4|KR=5|RC=6||^"_s;
    QTest::newRow("price change euro counts as one")
        << BuildPriceChangeRequest(u"001", {u"€1"_s, {}, {}, {}, {}, {}})
        << u"00062|5|2||POST|REQ_PRICE_CHANGE|||PM=001|GP=€1|GR=|DP=|DR=|KR=|RC=||^"_s;
}

void TestWire::frames()
{
    QFETCH(QString, frame);
    QFETCH(QString, expected);
    QCOMPARE(frame, expected);
    verifyLengthMatchesWireBytes(frame);
}

void TestWire::lengthField_data()
{
    QTest::addColumn<qsizetype>("bodySize");
    QTest::addColumn<QString>("header");

    QTest::newRow("empty") << qsizetype(0) << u"00000|5|"_s;
    QTest::newRow("9") << qsizetype(9) << u"00009|5|"_s;
    QTest::newRow("99999") << qsizetype(99999) << u"99999|5|"_s;
    QTest::newRow("100000 gets six digits") << qsizetype(100000) << u"100000|5|"_s;
}

void TestWire::lengthField()
{
    QFETCH(qsizetype, bodySize);
    QFETCH(QString, header);
    const QString body(bodySize, u'x');
    const QString frame = FrameRequest(body);
    QVERIFY(frame.startsWith(header));
    QCOMPARE(frame.size(), header.size() + bodySize);
    QVERIFY(frame.endsWith(body));
}

void TestWire::threeDigitPump_data()
{
    QTest::addColumn<int>("pump");
    QTest::addColumn<QString>("text");

    QTest::newRow("7") << 7 << u"007"_s;
    QTest::newRow("12") << 12 << u"012"_s;
    QTest::newRow("20") << 20 << u"020"_s;
    QTest::newRow("0") << 0 << u"000"_s;
    QTest::newRow("wider than three") << 1234 << u"1234"_s;
    QTest::newRow("negative keeps its sign") << -7 << u"-007"_s;
}

void TestWire::threeDigitPump()
{
    QFETCH(int, pump);
    QFETCH(QString, text);
    QCOMPARE(ThreeDigitPump(pump), text);
}

void TestWire::encode_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("ascii") << u"PM=007|^"_s << QByteArray("PM=007|^");
    QTest::newRow("control and 127 kept")
        << QStringView(u"\u0000\u0001\u007f", 3).toString() << QByteArray("\x00\x01\x7f", 3);
    QTest::newRow("128 becomes ?") << u"\u0080"_s << QByteArray("?");
    QTest::newRow("accented letters") << u"Línea ñ"_s << QByteArray("L?nea ?");
    QTest::newRow("euro") << u"1€"_s << QByteArray("1?");
    QTest::newRow("non-BMP is two ?") << u"a\U0001F600b"_s << QByteArray("a??b");
}

void TestWire::encode()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    const QByteArray wire = EncodeWireText(text);
    QCOMPARE(wire, bytes);
    QCOMPARE(wire.size(), text.size());
}

void TestWire::decode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");

    const QString fffd(1, QChar(QChar::ReplacementCharacter));
    QTest::newRow("ascii") << QByteArray("RC=OK|PS=IDLE|") << u"RC=OK|PS=IDLE|"_s;
    QTest::newRow("nul and 127 kept")
        << QByteArray("\x00\x7f", 2) << QStringView(u"\u0000\u007f", 2).toString();
    QTest::newRow("128") << QByteArray("\x80") << fffd;
    QTest::newRow("255") << QByteArray("\xff") << fffd;
    QTest::newRow("UTF-8 pair is two replacements")
        << QByteArray("\xc3\xb1") << QString(fffd + fffd);
    QTest::newRow("inside a status")
        << QByteArray("PS=CALL\xf1NG|") << QString(u"PS=CALL"_s + fffd + u"NG|"_s);
}

void TestWire::decode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(DecodeWireText(bytes), text);
}

void TestWire::extractFieldValue_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");

    const QString sale = u"2||POST|RES_GET_PUMP_SALES|||RC=OK|SA1=4711|TI1=128|DA1=20240131|"
                         u"STI1=143005|PM=3|HO1=1|GR1=6||^"_s;
    const QString stiFirst = u"2||POST|RES_GET_PUMP_SALES|||RC=OK|SA1=4711|STI1=143005|"
                             u"TI1=128|PM=3||^"_s;

    QTest::newRow("TI1 before STI1") << sale << u"TI1"_s << u"128"_s;
    QTest::newRow("STI1 before TI1 still gives TI1") << stiFirst << u"TI1"_s << u"128"_s;
    QTest::newRow("STI1 itself") << stiFirst << u"STI1"_s << u"143005"_s;
    QTest::newRow("TI1 not read out of STI1")
        << u"RC=OK|STI1=143005|PM=3|"_s << u"TI1"_s << QString();
    QTest::newRow("PM not from a longer key") << u"RC=OK|XPM=9|PM=3|"_s << u"PM"_s << u"3"_s;
    QTest::newRow("PM only inside a longer key") << u"RC=OK|XPM=9|"_s << u"PM"_s << QString();
    QTest::newRow("key inside another value") << u"A=TI1=5|TI1=7|"_s << u"TI1"_s << u"7"_s;
    QTest::newRow("at the very start") << u"TI1=5|X=1"_s << u"TI1"_s << u"5"_s;
    QTest::newRow("first of two") << u"|TI1=1|TI1=2|"_s << u"TI1"_s << u"1"_s;
    QTest::newRow("empty value") << u"|TI1=|SA1=4|"_s << u"TI1"_s << QString();
    QTest::newRow("missing") << sale << u"AVGTM1"_s << QString();
    QTest::newRow("case-sensitive") << u"|ti1=5|"_s << u"TI1"_s << QString();
    QTest::newRow("last field runs to the end")
        << u"RC=OK|PAY_TY1=EFECTIVO^\r\n"_s << u"PAY_TY1"_s << u"EFECTIVO^\r\n"_s;
    QTest::newRow("no value at the end") << u"RC=OK|TI1="_s << u"TI1"_s << QString();
    QTest::newRow("replacement character kept")
        << QString(u"|PAY_TY1=TARJ"_s + QChar(QChar::ReplacementCharacter) + u"|"_s) << u"PAY_TY1"_s
        << QString(u"TARJ"_s + QChar(QChar::ReplacementCharacter));
    QTest::newRow("empty reply") << QString() << u"TI1"_s << QString();
}

void TestWire::extractFieldValue()
{
    QFETCH(QString, reply);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QCOMPARE(ExtractFieldValue(reply, key), value);
}

void TestWire::extractPumpStatus_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<QString>("status");

    QTest::newRow("plain") << QByteArray("2||POST|RES_PUMP_STATUS|||RC=OK|PM=007|PS=IDLE||^")
                           << u"IDLE"_s;
    QTest::newRow("seven then bar") << QByteArray("PS=CALLING|") << u"CALLING"_s;
    QTest::newRow("ten then bar") << QByteArray("PS=AUTHORIZED|") << u"AUTHORIZED"_s;
    QTest::newRow("twelve cut to ten") << QByteArray("PS=ABCDEFGHIJKL|") << u"ABCDEFGHIJ"_s;
    QTest::newRow("line end inside the window") << QByteArray("PS=CALLING\r\n") << u"CALLING\r\n"_s;
    QTest::newRow("marker ends the reply") << QByteArray("RC=OK|PS=") << QString();
    QTest::newRow("bar right after the marker") << QByteArray("PS=|") << QString();
    QTest::newRow("first of two markers") << QByteArray("PS=IDLE|PS=CALLING|") << u"IDLE"_s;
    QTest::newRow("lower-case marker") << QByteArray("ps=CALLING|") << u"UNKNOWN"_s;
    QTest::newRow("no marker") << QByteArray("RC=OK|PM=007|") << u"UNKNOWN"_s;
    QTest::newRow("nothing") << QByteArray() << u"UNKNOWN"_s;
    QTest::newRow("high byte counts as one")
        << QByteArray("PS=ABCDEFGH\xf1IJ|")
        << QString(u"ABCDEFGH"_s + QChar(QChar::ReplacementCharacter) + u"I"_s);
}

void TestWire::extractPumpStatus()
{
    QFETCH(QByteArray, received);
    QFETCH(QString, status);
    QCOMPARE(ExtractPumpStatus(DecodeWireText(received), u"PS="), status);
}

QTEST_APPLESS_MAIN(TestWire)
#include "test_wire.moc"
