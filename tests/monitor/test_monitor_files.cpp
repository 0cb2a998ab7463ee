#include "core/failure.h"
#include "monitor/framed_reply.h"
#include "monitor/pump_state_file.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace veltrane::monitor;

Q_DECLARE_METATYPE(veltrane::monitor::FrameState)

class TestMonitorFiles : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void pumpStateLines()
    {
        QStringList statuses(20);
        statuses[2] = u"CALLING"_s;
        statuses[3] = u"UNKNOWN"_s;
        statuses[8] = u"IDLE"_s;
        statuses[9] = u"FUELLING"_s;
        statuses[19] = u"CLOSED\r\n"_s; // a reply that ended right after the status
        const QByteArray bytes = FormatPumpStates(statuses);
        const QList<QByteArray> lines = bytes.split('\n');
        QCOMPARE(lines.size(), 21); // twenty lines, each ended by CR LF
        QVERIFY(bytes.endsWith("20=CLOSED\r\n"));
        QCOMPARE(lines[0], QByteArray("1=\r"));
        QCOMPARE(lines[2], QByteArray("3=CALLING\r"));
        QCOMPARE(lines[3], QByteArray("4=UNKNOWN\r"));
        QCOMPARE(lines[4], QByteArray("5=\r"));
        QCOMPARE(lines[8], QByteArray("9=IDLE\r"));
        QCOMPARE(lines[9], QByteArray("10=FUELLING\r"));
        // A replacement character from the wire is not in the code page.
        statuses[0] = u"A\uFFFDB"_s;
        QVERIFY(FormatPumpStates(statuses).startsWith("1=A?B\r\n"));
    }

    void pumpStateFileIsReplacedWhole()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"estsur.txt"_s);
        QStringList statuses(20, u"IDLE"_s);
        WritePumpStateFile(path, statuses);
        statuses[0] = u"CALLING"_s;
        WritePumpStateFile(path, statuses);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), FormatPumpStates(statuses));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{u"estsur.txt"_s});
        QVERIFY_THROWS_EXCEPTION(veltrane::Failure,
                                 WritePumpStateFile(dir.filePath(u"gone/estsur.txt"_s), statuses));
    }

    void framedReplies_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<FrameState>("state");
        QTest::addColumn<qint64>("announced");
        QTest::addColumn<qint64>("received");
        QTest::newRow("whole") << QByteArray("00005|5|ab|^|") << FrameState::Complete << 5ll << 5ll;
        QTest::newRow("more than announced")
            << QByteArray("00002|5|ab00001|5|c") << FrameState::Complete << 2ll << 11ll;
        QTest::newRow("body still arriving")
            << QByteArray("00010|5|abc") << FrameState::Incomplete << 10ll << 3ll;
        QTest::newRow("separator still arriving")
            << QByteArray("00010|5") << FrameState::Incomplete << 10ll << 0ll;
        QTest::newRow("length still arriving")
            << QByteArray("000") << FrameState::Incomplete << -1ll << 0ll;
        QTest::newRow("six-digit length")
            << QByteArray("100000|5|x") << FrameState::Incomplete << 100000ll << 1ll;
        QTest::newRow("empty body") << QByteArray("00000|5|") << FrameState::Complete << 0ll << 0ll;
        QTest::newRow("no prefix")
            << QByteArray("RES_GET_PUMP_SALES|RC=OK|") << FrameState::NotFramed << -1ll << 0ll;
        QTest::newRow("short number")
            << QByteArray("12|5|abc") << FrameState::NotFramed << -1ll << 0ll;
        QTest::newRow("other separator")
            << QByteArray("00003|7|abc") << FrameState::NotFramed << -1ll << 0ll;
        QTest::newRow("absurd length")
            << QByteArray("9999999999999999999|5|") << FrameState::NotFramed << -1ll << 0ll;
    }

    void framedReplies()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(FrameState, state);
        QFETCH(qint64, announced);
        QFETCH(qint64, received);
        const FrameCheck check = CheckFramedReply(bytes);
        QCOMPARE(check.state, state);
        QCOMPARE(check.announced, announced);
        QCOMPARE(check.received, received);
    }
};

QTEST_GUILESS_MAIN(TestMonitorFiles)
#include "test_monitor_files.moc"
