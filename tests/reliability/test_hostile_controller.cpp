// The program's polls against a hostile controller: endless streams during
// the waits, replies of several megabytes, bytes above 127 everywhere, keys
// in odd places, replies for another pump. Nothing may crash, what the
// program takes from a connection must stay bounded, and no row may come
// from a reply cut short while a whole one can still come.
#include "app/form_fixture.h"
#include "flood_peer.h"
#include "link/controller_connection.h"
#include "support/fake_controller.h"
#include "support/sale_samples.h"

#include <QFile>
#include <QFileInfo>
#include <QTest>

using namespace Qt::StringLiterals;
using veltrane::TForm1;
using veltrane::testing::FakeController;
using veltrane::testing::FloodPeer;
using veltrane::testing::FormFixture;
using veltrane::testing::Frame;
using veltrane::testing::kSaleBody;
using veltrane::testing::kSaleRow;
using A = veltrane::sim::ReplyAction;

namespace {

constexpr qint64 kMiB = 1024 * 1024;

qint64 fileSize(const QString& path)
{
    return QFileInfo(path).size();
}

} // namespace

class TestHostileController : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // An endless stream during the status wait: the poll ends and stores
    // what it found; the next polls on the same connection take the flood's
    // filler, which holds no status.
    void endlessStreamDuringStatusPoll_data()
    {
        QTest::addColumn<QByteArray>("prefix");
        QTest::addColumn<QString>("status");
        QTest::newRow("no frame") << QByteArray() << u"UNKNOWN"_s;
        QTest::newRow("status then more")
            << QByteArray("00052|5|2||POST|RES_PUMP_STATUS|||PS=IDLE|") << u"IDLE"_s;
        QTest::newRow("frame announcing a terabyte")
            << QByteArray("999999999999|5|PS=CALLING") << u"CALLINGxxx"_s;
    }

    void endlessStreamDuringStatusPoll()
    {
        QFETCH(QByteArray, prefix);
        QFETCH(QString, status);
        FloodPeer peer(prefix);
        FormFixture fixture(peer.port());
        TForm1& form = fixture.form();
        form.FAuthSentCount[4] = 3; // no authorization on the way
        form.InitClientPool();
        form.PollPumpStatus(4);
        QCOMPARE(form.FLastStatus[4], status);
        for (int i = 0; i < 4; ++i) {
            form.PollPumpStatus(4);
        }
        QCOMPARE(form.FLastStatus[4], u"UNKNOWN"_s);
        form.FreeClientPool();
    }

    // An endless stream during the sales wait: no row, and the reply that is
    // logged (all the program took) is bounded, whatever the frame announces.
    void endlessStreamDuringSalesCheck_data()
    {
        QTest::addColumn<QByteArray>("prefix");
        QTest::newRow("no frame") << QByteArray("RES_GET_PUMP_SALES RC=OK ");
        QTest::newRow("frame announcing a terabyte")
            << QByteArray("999999999999|5|2||POST|RES_GET_PUMP_SALES|||RC=OK|SA1=1|TI1=1|PM=1|");
        QTest::newRow("frame announcing 50 MB")
            << QByteArray("50000000|5|2||POST|RES_GET_PUMP_SALES|||RC=OK|SA1=1|TI1=1|PM=1|");
    }

    void endlessStreamDuringSalesCheck()
    {
        QFETCH(QByteArray, prefix);
        FloodPeer peer(prefix);
        FormFixture fixture(peer.port());
        TForm1& form = fixture.form();
        form.CheckLastSaleForPump(2);
        QVERIFY(fixture.saleRows().isEmpty());
        // Two attempts, each taking what a few reads bring: well under 64 MiB
        // of log for the whole check.
        const qint64 logged = fileSize(fixture.fixed().debugLogPath());
        qInfo("flood sent %llu bytes; debug log %lld bytes",
              static_cast<unsigned long long>(peer.sent()), logged);
        QVERIFY2(logged < 64 * kMiB, qPrintable(QString::number(logged)));
    }

    // A reply of several megabytes that arrives whole is read whole.
    void severalMegabyteRepliesAreTakenWhole()
    {
        FakeController fake;
        const QByteArray padding(6 * kMiB, 'y');
        QByteArray sales = kSaleBody;
        sales.replace("|||RC=OK|", QByteArray("|||RC=OK|MSG=" + padding + "|"));
        fake.scriptReplies(u"REQ_GET_PUMP_SALES"_s, 0, {A::raw(Frame(sales))});
        fake.scriptReplies(
            u"REQ_PUMP_STATUS"_s, 0,
            {A::raw(Frame("2||POST|RES_PUMP_STATUS|||RC=OK|MSG=" + padding + "|PS=CLOSED||^"))});
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        form.CheckLastSaleForPump(3);
        QCOMPARE(fixture.saleRows(), QStringList{kSaleRow});
        form.InitClientPool();
        form.PollPumpStatus(5);
        // The status wait takes what has arrived when the first data come: a
        // part of the reply, or all of it.
        QVERIFY2(form.FLastStatus[5] == u"CLOSED"_s || form.FLastStatus[5] == u"UNKNOWN"_s,
                 qPrintable(form.FLastStatus[5]));
        form.FreeClientPool();
    }

    // Replies that must not become rows, and hostile ones that the rules
    // still read, with the row they give.
    void hostileSalesReplies_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("rows");
        QByteArray high = kSaleBody;
        for (char& c : high) {
            c = char(uchar(c) | 0x80);
        }
        QTest::newRow("every byte above 127") << Frame(high) << QStringList();
        QTest::newRow("garbage with a frame's length")
            << Frame(QByteArray(200, char(0xF1))) << QStringList();
        QTest::newRow("frame cut short") << Frame(kSaleBody).left(120) << QStringList();
        // Its closing "^" makes it whole: the length may count something else.
        QTest::newRow("frame announcing more than comes")
            << QByteArray("00999|5|") + kSaleBody << QStringList{kSaleRow};
        QTest::newRow("markers inside another reply's message")
            << Frame(
                   "2||POST|RES_ERROR|||RC=ERR_FORMAT|MSG=RES_GET_PUMP_SALES RC=OK TI1=5 SA1=9||^")
            << QStringList();
        QByteArray stiFirst = kSaleBody;
        stiFirst.replace("TI1=128|DA1=20240131|STI1=143005|", "STI1=143005|DA1=20240131|TI1=128|");
        QTest::newRow("STI1 before TI1") << Frame(stiFirst) << QStringList{kSaleRow};
        QByteArray otherPump = kSaleBody;
        otherPump.replace("|PM=3|", "|PM=9|");
        QTest::newRow("another pump's sale (recorded with its own pump)")
            << Frame(otherPump)
            << QStringList{QString(kSaleRow).replace(u",3,1,4,"_s, u",9,1,4,"_s)};
        QByteArray highInValue = kSaleBody;
        highInValue.replace("PAY_TY1=efectivo", "PAY_TY1=efec\xF1tivo");
        QTest::newRow("a byte above 127 in a value")
            << Frame(highInValue)
            << QStringList{
                   QString(kSaleRow).replace(u"Ventas EFECTIVO,EFECTIVO"_s, u"Ventas,efec?tivo"_s)};
        QTest::newRow("reply twice in one read")
            << Frame(kSaleBody) + Frame(kSaleBody) << QStringList{kSaleRow};
    }

    void hostileSalesReplies()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, rows);
        FakeController fake; // its own replies: a pump without a sale (no row)
        fake.scriptReplies(u"REQ_GET_PUMP_SALES"_s, 0, {A::raw(reply)});
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        form.CheckLastSaleForPump(3);
        QCOMPARE(fixture.saleRows(), rows);
    }

    // Status replies with "PS=" in odd places, bytes above 127 everywhere, or
    // for another pump: the status is read as the rules say, never more than
    // ten characters, and the poll goes on.
    void hostileStatusReplies_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("status");
        QTest::newRow("PS= inside a message first")
            << Frame("2||POST|RES_PUMP_STATUS|||RC=OK|MSG=xPS=ODD|PS=IDLE||^") << u"ODD"_s;
        QTest::newRow("ps= in lower case")
            << Frame("2||POST|RES_PUMP_STATUS|||ps=IDLE||^") << u"UNKNOWN"_s;
        QTest::newRow("another pump's reply")
            << Frame("2||POST|RES_PUMP_STATUS|||RC=OK|PM=019|PS=CLOSED||^") << u"CLOSED"_s;
        QTest::newRow("bytes above 127 everywhere")
            << QByteArray("ðñòPS=ÿþýüûúùø÷öõ") << QString(10, QChar(QChar::ReplacementCharacter));
        QTest::newRow("status at the very end") << QByteArray("PS=") << QString();
    }

    void hostileStatusReplies()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, status);
        FakeController fake;
        fake.scriptReplies(u"REQ_PUMP_STATUS"_s, 0, {A::raw(reply)});
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        form.InitClientPool();
        form.PollPumpStatus(6);
        QCOMPARE(form.FLastStatus[6], status);
        form.PollPumpStatus(6); // the stand-in's own reply next
        QCOMPARE(form.FLastStatus[6], u"IDLE"_s);
        form.FreeClientPool();
    }

    // The tail of a reply that came too late, read together with the next
    // reply, must not lend its fields to the next sale's row.
    void staleTailDoesNotMixIntoTheNextRow()
    {
        QByteArray older = kSaleBody;
        older.replace("SA1=4711|TI1=128|", "SA1=4700|TI1=127|");
        older.replace("IV1=123456.789|FV1=123482.289|AVGTM1=21.5|PAY_TY1=efectivo",
                      "IV1=1.000|FV1=2.000|AVGTM1=30.0|PAY_TY1=TARJETA");
        const QByteArray tail = Frame(older).mid(Frame(older).indexOf("|IV1="));
        FakeController fake;
        fake.scriptReplies(u"REQ_GET_PUMP_SALES"_s, 0, {A::raw(tail + Frame(kSaleBody))});
        FormFixture fixture(fake.port());
        TForm1& form = fixture.form();
        form.CheckLastSaleForPump(3);
        // The tail ahead of the frame is left out of what is recorded; the
        // whole reply behind it is the row, as it came.
        QCOMPARE(fixture.saleRows(), QStringList{kSaleRow});
    }
};

QTEST_MAIN(TestHostileController)
#include "test_hostile_controller.moc"
