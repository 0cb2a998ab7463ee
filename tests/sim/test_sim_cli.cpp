// The forecourt-sim executable itself: its command line, the LISTENING line,
// the JSON-lines record as it is written, and how a run ends.

#include "wire_client.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using veltrane::simtest::WireClient;

namespace {

QString simPath()
{
    return QStringLiteral(FORECOURT_SIM_PATH);
}

// Starts the simulator and reads the port from its "LISTENING <port>" line.
quint16 startSim(QProcess& process, const QStringList& arguments)
{
    process.start(simPath(), arguments);
    if (!process.waitForStarted(5000)) {
        return 0;
    }
    QDeadlineTimer deadline(5000);
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(int(deadline.remainingTime())) || deadline.hasExpired()) {
            return 0;
        }
    }
    const QByteArray line = process.readLine().trimmed();
    if (!line.startsWith("LISTENING ")) {
        return 0;
    }
    return quint16(line.sliced(10).toUInt());
}

QList<QJsonObject> readRecord(const QString& path)
{
    QList<QJsonObject> lines;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return lines;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.isEmpty()) {
            lines.append(QJsonDocument::fromJson(line).object());
        }
    }
    return lines;
}

QList<QJsonObject> ofType(const QList<QJsonObject>& lines, const QString& type)
{
    QList<QJsonObject> out;
    for (const QJsonObject& o : lines) {
        if (o.value(u"type"_s).toString() == type) {
            out.append(o);
        }
    }
    return out;
}

} // namespace

class TestSimCli : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void helpNamesEveryOption_data();
    void helpNamesEveryOption();
    void badArguments_data();
    void badArguments();
    void recordWhileRunningAndOnSignal();
    void durationEndsTheRun();
    void portInUse();
};

void TestSimCli::helpNamesEveryOption_data()
{
    QTest::addColumn<QString>("option");
    for (const char* name :
         {"--listen",        "--seed",           "--speed",          "--duration",
          "--record",        "--no-calls",       "--mean-idle",      "--call-timeout",
          "--first-sale-id", "--late",           "--late-margin-ms", "--split",
          "--split-pieces",  "--split-pause-ms", "--close",          "--reset",
          "--silent",        "--garbage",        "--high-bytes",     "--sti-first",
          "--twice",         "--refuse-every",   "--refuse-for",     "--restart-every",
          "--restart-down",  "--faults-on",      "--reply-length",   "--no-caret",
          "--field-order"}) {
        QTest::newRow(name) << QString::fromLatin1(name);
    }
}

void TestSimCli::helpNamesEveryOption()
{
    QFETCH(QString, option);
    QProcess process;
    process.start(simPath(), {u"--help"_s});
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitCode(), 0);
    const QString help = QString::fromUtf8(process.readAllStandardOutput());
    QVERIFY2(help.contains(option + u' ') || help.contains(option + u'\n'), qPrintable(option));
}

void TestSimCli::badArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("rate above 1") << QStringList{u"--late"_s, u"2"_s};
    QTest::newRow("rate not a number") << QStringList{u"--silent"_s, u"x"_s};
    QTest::newRow("listen without port") << QStringList{u"--listen"_s, u"127.0.0.1"_s};
    QTest::newRow("listen bad address") << QStringList{u"--listen"_s, u"host:1"_s};
    QTest::newRow("unknown fault class") << QStringList{u"--faults-on"_s, u"pumps"_s};
    QTest::newRow("negative seed") << QStringList{u"--seed"_s, u"-1"_s};
    QTest::newRow("stray argument") << QStringList{u"extra"_s};
    QTest::newRow("unknown reply length") << QStringList{u"--reply-length"_s, u"bytes"_s};
    QTest::newRow("unknown field order") << QStringList{u"--field-order"_s, u"sorted"_s};
}

void TestSimCli::badArguments()
{
    QFETCH(QStringList, arguments);
    QProcess process;
    if (!arguments.contains(u"--listen"_s)) {
        arguments << u"--listen"_s << u"127.0.0.1:0"_s; // never the real port
    }
    process.start(simPath(), arguments);
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitCode(), 1);
    QVERIFY(!process.readAllStandardError().isEmpty());
    QVERIFY(process.readAllStandardOutput().isEmpty()); // never LISTENING
}

void TestSimCli::recordWhileRunningAndOnSignal()
{
    QTemporaryDir dir;
    const QString record = dir.filePath(u"record.jsonl"_s);
    QProcess process;
    const quint16 port = startSim(process, {u"--listen"_s, u"127.0.0.1:0"_s, u"--seed"_s, u"5"_s,
                                            u"--no-calls"_s, u"--record"_s, record});
    QVERIFY(port != 0);

    WireClient client;
    QVERIFY(client.open(port));
    QCOMPARE(client.roundTrip("2||POST|REQ_PUMP_STATUS|||PM=007||^"),
             QByteArray("2||POST|RES_PUMP_STATUS|||RC=OK|PM=007|PS=IDLE||^"));
    client.roundTrip("2||POST|REQ_AUTHORIZE|||PM=007|AU=1||^");

    // Each line is in the file while the simulator still runs.
    QTRY_COMPARE_WITH_TIMEOUT(ofType(readRecord(record), u"exchange"_s).size(), 2, 5000);
    QList<QJsonObject> lines = readRecord(record);
    const QJsonObject start = lines.first();
    QCOMPARE(start.value(u"type"_s).toString(), u"start"_s);
    QCOMPARE(start.value(u"seed"_s).toString(), u"5"_s);
    QCOMPARE(start.value(u"port"_s).toInt(), int(port));

    const QJsonObject status = ofType(lines, u"exchange"_s).first();
    QCOMPARE(status.value(u"name"_s).toString(), u"REQ_PUMP_STATUS"_s);
    QCOMPARE(status.value(u"pump"_s).toInt(), 7);
    QCOMPARE(status.value(u"status"_s).toString(), u"IDLE"_s);
    QCOMPARE(status.value(u"valid"_s).toBool(), true);
    QCOMPARE(status.value(u"outcome"_s).toString(), u"replied"_s);
    QCOMPARE(status.value(u"request"_s).toString(), u"2||POST|REQ_PUMP_STATUS|||PM=007||^"_s);
    QVERIFY(status.value(u"reply"_s).toString().startsWith(u"00049|5|"_s));
    QVERIFY(status.value(u"done_ms"_s).toInteger() >= status.value(u"t_ms"_s).toInteger());
    QVERIFY(QDateTime::fromString(status.value(u"wall"_s).toString(), Qt::ISODateWithMs).isValid());

    const auto commands = ofType(lines, u"command"_s);
    QCOMPARE(commands.size(), 1);
    QCOMPARE(commands[0].value(u"name"_s).toString(), u"REQ_AUTHORIZE"_s);
    QCOMPARE(commands[0].value(u"pump"_s).toInt(), 7);
    QCOMPARE(commands[0].value(u"rc"_s).toString(), u"ERR_STATE"_s);
    QCOMPARE(ofType(lines, u"request"_s).size(), 2);
    QCOMPARE(ofType(lines, u"connect"_s).size(), 1);

    process.terminate(); // SIGTERM
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    lines = readRecord(record);
    QCOMPARE(lines.last().value(u"type"_s).toString(), u"stop"_s);
    QCOMPARE(lines.last().value(u"detail"_s).toString(), u"signal"_s);
    QCOMPARE(ofType(lines, u"disconnect"_s).value(0).value(u"detail"_s).toString(), u"stop"_s);
}

void TestSimCli::durationEndsTheRun()
{
    QTemporaryDir dir;
    const QString record = dir.filePath(u"record.jsonl"_s);
    QProcess process;
    const quint16 port =
        startSim(process, {u"--listen"_s, u"127.0.0.1:0"_s, u"--duration"_s, u"0.3"_s, u"--speed"_s,
                           u"100"_s, u"--record"_s, record});
    QVERIFY(port != 0);
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitCode(), 0);
    const auto lines = readRecord(record);
    QCOMPARE(lines.last().value(u"detail"_s).toString(), u"duration"_s);
    QVERIFY(lines.last().value(u"t_ms"_s).toInteger() >= 300);
}

void TestSimCli::portInUse()
{
    QProcess first;
    const quint16 port = startSim(first, {u"--listen"_s, u"127.0.0.1:0"_s});
    QVERIFY(port != 0);
    QProcess second;
    second.start(simPath(), {u"--listen"_s, u"127.0.0.1:"_s + QString::number(port)});
    QVERIFY(second.waitForFinished(5000));
    QCOMPARE(second.exitCode(), 2);
    QVERIFY(second.readAllStandardError().contains("no se puede escuchar"));
    first.terminate();
    QVERIFY(first.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(TestSimCli)
#include "test_sim_cli.moc"
