// How much of a reply has arrived: whole by its announced body or by its
// closing "^", and where its frame starts behind a stale tail.
#include "link/framed_reply.h"
#include "support/sale_samples.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace veltrane::link;
using veltrane::testing::Frame;
using veltrane::testing::kSaleBody;

Q_DECLARE_METATYPE(veltrane::link::FrameState)

class TestFramedReply : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void framedReplies_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<FrameState>("state");
        QTest::addColumn<qint64>("announced");
        QTest::addColumn<qint64>("received");
        QTest::addColumn<bool>("caret");
        QTest::addColumn<bool>("whole");
        QTest::newRow("whole") << QByteArray("00005|5|ab|^|") << FrameState::Complete << 5ll << 5ll
                               << false << true;
        QTest::newRow("more than announced")
            << QByteArray("00002|5|ab00001|5|c") << FrameState::Complete << 2ll << 11ll << false
            << true;
        QTest::newRow("body still arriving")
            << QByteArray("00010|5|abc") << FrameState::Incomplete << 10ll << 3ll << false << false;
        QTest::newRow("separator still arriving")
            << QByteArray("00010|5") << FrameState::Incomplete << 10ll << 0ll << false << false;
        QTest::newRow("length still arriving")
            << QByteArray("000") << FrameState::Incomplete << -1ll << 0ll << false << false;
        QTest::newRow("six-digit length") << QByteArray("100000|5|x") << FrameState::Incomplete
                                          << 100000ll << 1ll << false << false;
        QTest::newRow("empty body")
            << QByteArray("00000|5|") << FrameState::Complete << 0ll << 0ll << false << true;
        QTest::newRow("no prefix") << QByteArray("RES_GET_PUMP_SALES|RC=OK|")
                                   << FrameState::NotFramed << -1ll << 0ll << false << false;
        QTest::newRow("short number")
            << QByteArray("12|5|abc") << FrameState::NotFramed << -1ll << 0ll << false << false;
        QTest::newRow("other separator")
            << QByteArray("00003|7|abc") << FrameState::NotFramed << -1ll << 0ll << false << false;
        QTest::newRow("absurd length") << QByteArray("9999999999999999999|5|")
                                       << FrameState::NotFramed << -1ll << 0ll << false << false;
        // The closing "^" makes a reply whole whatever its length counts.
        const QByteArray body = kSaleBody;
        const qint64 size = body.size();
        QTest::newRow("length counts the whole message")
            << QByteArray::number(size + 8).rightJustified(5, '0') + "|5|" + body
            << FrameState::Incomplete << size + 8 << size << true << true;
        QTest::newRow("whole message, no caret")
            << QByteArray::number(size + 7).rightJustified(5, '0') + "|5|" + body.chopped(1)
            << FrameState::Incomplete << size + 7 << size - 1 << false << false;
        QTest::newRow("no length, caret")
            << body << FrameState::NotFramed << -1ll << 0ll << true << true;
        QTest::newRow("no length, caret, CR LF")
            << body + "\r\n"
            << FrameState::NotFramed << -1ll << 0ll << true << true;
        QTest::newRow("no length, no caret")
            << body.chopped(1) << FrameState::NotFramed << -1ll << 0ll << false << false;
        QTest::newRow("caret, then more")
            << body + "x" << FrameState::NotFramed << -1ll << 0ll << false << false;
        QTest::newRow("only a caret")
            << QByteArray("^\n") << FrameState::NotFramed << -1ll << 0ll << true << true;
        QTest::newRow("only line ends")
            << QByteArray("\r\n") << FrameState::NotFramed << -1ll << 0ll << false << false;
    }

    void framedReplies()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(FrameState, state);
        QFETCH(qint64, announced);
        QFETCH(qint64, received);
        QFETCH(bool, caret);
        QFETCH(bool, whole);
        const FrameCheck check = CheckFramedReply(bytes);
        QCOMPARE(check.state, state);
        QCOMPARE(check.announced, announced);
        QCOMPARE(check.received, received);
        QCOMPARE(check.endsWithCaret, caret);
        QCOMPARE(check.whole(), whole);
    }

    // Where a reply's frame starts when a stale tail stands before it, and
    // what the check then judges: the part from there.
    void frameStart_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<qsizetype>("start");
        QTest::addColumn<bool>("whole");
        QTest::newRow("a frame") << Frame(kSaleBody) << qsizetype(0) << true;
        QTest::newRow("a frame still arriving") << QByteArray("0023") << qsizetype(0) << false;
        QTest::newRow("no frame") << QByteArray("RES_GET_PUMP_SALES RC=OK") << qsizetype(0)
                                  << false;
        QTest::newRow("tail, then a frame")
            << QByteArray("|PAY_TY1=EFECTIVO||^") + Frame(kSaleBody) << qsizetype(20) << true;
        // The tail's own "^" does not make the frame behind it whole.
        QTest::newRow("tail, then the start of a frame")
            << QByteArray("||^00230|5|2||PO") << qsizetype(3) << false;
        QTest::newRow("tail ending in digits joins the length: not a reply")
            << QByteArray("|AVGTM1=21") + Frame(kSaleBody) << qsizetype(8) << true;
        QTest::newRow("four digits are no length")
            << QByteArray("x0230|5|abc") << qsizetype(0) << false;
    }

    void frameStart()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(qsizetype, start);
        QFETCH(bool, whole);
        QCOMPARE(FrameStart(bytes), start);
        const ReplyFrame reply = CheckReply(bytes);
        QCOMPARE(reply.start, start);
        QCOMPARE(reply.check.whole(), whole);
    }
};

QTEST_GUILESS_MAIN(TestFramedReply)
#include "test_framed_reply.moc"
