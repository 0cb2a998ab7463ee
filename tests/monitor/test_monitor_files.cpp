#include "core/failure.h"
#include "monitor/pump_state_file.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace veltrane::monitor;

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
};

QTEST_GUILESS_MAIN(TestMonitorFiles)
#include "test_monitor_files.moc"
