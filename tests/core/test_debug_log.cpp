#include "text/debug_log.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using veltrane::DebugLog;

class TestDebugLog : public QObject
{
    Q_OBJECT

private:
    static QByteArray readAll(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static QDateTime fixedTime() { return QDateTime(QDate(2024, 1, 31), QTime(7, 5, 9)); }

private Q_SLOTS:
    void lineFormatAndCodePageBytes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("plain") << u"Monitoreo iniciado"_s
                               << QByteArray("[2024-01-31 07:05:09] Monitoreo iniciado\r\n");
        QTest::newRow("accented letters are one ANSI byte each")
            << u"=== APLICACIÓN INICIADA ==="_s
            << QByteArray("[2024-01-31 07:05:09] === APLICACI\xD3N INICIADA ===\r\n");
        QTest::newRow("marks outside the code page become ?")
            << u"✅ guardado → ❌"_s << QByteArray("[2024-01-31 07:05:09] ? guardado ? ?\r\n");
        QTest::newRow("empty text keeps the trailing blank")
            << QString() << QByteArray("[2024-01-31 07:05:09] \r\n");
        QTest::newRow("line breaks are written unchanged")
            << u"a\r\nb"_s << QByteArray("[2024-01-31 07:05:09] a\r\nb\r\n");
    }

    void lineFormatAndCodePageBytes()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"debug.log"_s);
        DebugLog log(path, fixedTime);
        log.WriteLog(text);
        QCOMPARE(readAll(path), bytes);
    }

    void appendsAndKeepsEarlierLines()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"debug.log"_s);
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("earlier line\r\n");
        }
        DebugLog log(path, fixedTime);
        log.WriteLog(u"uno"_s);
        log.WriteLog(u"dos"_s);
        QCOMPARE(readAll(path), QByteArray("earlier line\r\n[2024-01-31 07:05:09] uno\r\n"
                                           "[2024-01-31 07:05:09] dos\r\n"));
    }

    void realClockStampsEveryLine()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"debug.log"_s);
        DebugLog(path).WriteLog(u"x"_s);
        static const QRegularExpression line(
            u"^\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\] x\\r\\n$"_s);
        QVERIFY(line.match(QString::fromLatin1(readAll(path))).hasMatch());
    }

    void failuresAreSwallowed()
    {
        QTemporaryDir dir;
        // Missing directory: nothing is created, nothing escapes.
        const QString missing = dir.filePath(u"no-such-dir/debug.log"_s);
        DebugLog(missing, fixedTime).WriteLog(u"lost"_s);
        QVERIFY(!QFile::exists(missing));

        // A directory where the file should be.
        const QString blocked = dir.filePath(u"blocked"_s);
        QVERIFY(QDir().mkpath(blocked));
        DebugLog(blocked, fixedTime).WriteLog(u"lost"_s);

        // Once the directory exists, the next call creates the file.
        QVERIFY(QDir().mkpath(dir.filePath(u"no-such-dir"_s)));
        DebugLog(missing, fixedTime).WriteLog(u"kept"_s);
        QCOMPARE(readAll(missing), QByteArray("[2024-01-31 07:05:09] kept\r\n"));
    }
};

QTEST_GUILESS_MAIN(TestDebugLog)
#include "test_debug_log.moc"
