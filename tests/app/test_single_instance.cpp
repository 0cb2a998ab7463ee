// One instance per data directory: a second start leaves and brings the
// first to the front; a lock left behind by a dead instance is taken over.
#include "app/single_instance.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;
using veltrane::SingleInstance;

class TestSingleInstance : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void secondStartAsksTheFirst()
    {
        QTemporaryDir dir;
        SingleInstance first(dir.path());
        QVERIFY(first.acquire());
        QSignalSpy shown(&first, &SingleInstance::activationRequested);
        SingleInstance second(dir.path());
        QVERIFY(!second.acquire());
        QVERIFY(shown.wait(5000));

        // Another data directory is another instance.
        QTemporaryDir other;
        SingleInstance third(other.path());
        QVERIFY(third.acquire());
    }

    // The lock file as a crashed instance leaves it: with a process id that
    // is dead, or that this process has since been given (as under Wine,
    // where the few ids in use repeat after every restart).
    void staleLockIsTakenOver_data()
    {
        QTest::addColumn<bool>("ownProcessId");
        QTest::newRow("dead process") << false;
        QTest::newRow("the id this process has now") << true;
    }

    void staleLockIsTakenOver()
    {
        QFETCH(bool, ownProcessId);
        QTemporaryDir dir;
        // Where acquire() keeps its lock: found by taking it once.
        QString lockPath;
        {
            const QStringList before = QDir::temp().entryList({u"veltrane-*.lock"_s});
            SingleInstance probe(dir.path());
            QVERIFY(probe.acquire());
            const QStringList during = QDir::temp().entryList({u"veltrane-*.lock"_s});
            for (const QString& name : during) {
                if (!before.contains(name)) {
                    lockPath = QDir::temp().filePath(name);
                }
            }
        }
        QVERIFY(!lockPath.isEmpty());
        QVERIFY(!QFile::exists(lockPath));

        // A process id that no process has: beyond any the systems hand out.
        const qint64 pid = ownProcessId ? QCoreApplication::applicationPid() : 0x3ffffffe;
        QFile lock(lockPath);
        QVERIFY(lock.open(QIODevice::WriteOnly));
        // No host name: QLockFile then takes it for this host.
        lock.write(QByteArray::number(pid) + '\n' + QCoreApplication::applicationName().toUtf8() +
                   "\n\n");
        lock.close();

        SingleInstance next(dir.path());
        QVERIFY(next.acquire());
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "test_single_instance.moc"
