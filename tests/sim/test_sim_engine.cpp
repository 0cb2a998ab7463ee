// The stand-in over TCP, through the fake controller of the test support
// library: framing, replies, concurrent connections, a pump's whole life,
// scripts, and every fault doing what it says.

#include "support/fake_controller.h"
#include "wire_client.h"

#include <QElapsedTimer>
#include <QTest>

#include <algorithm>
#include <array>

#ifdef Q_OS_UNIX
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;
using namespace veltrane::sim;
using veltrane::simtest::Frame;
using veltrane::simtest::WireClient;
using veltrane::testing::FakeController;

Q_DECLARE_METATYPE(veltrane::sim::LengthCount)
Q_DECLARE_METATYPE(veltrane::sim::FieldOrder)

namespace {

const QByteArray kStatus7 = "2||POST|REQ_PUMP_STATUS|||PM=007||^";
const QByteArray kStatus12 = "2||POST|REQ_PUMP_STATUS|||PM=012||^";
const QByteArray kSales4 = "2||POST|REQ_GET_PUMP_SALES|||PM=4|QT=1||^";
const QByteArray kIdle7 = "2||POST|RES_PUMP_STATUS|||RC=OK|PM=007|PS=IDLE||^";

QByteArray statusBody(int pump)
{
    return "2||POST|REQ_PUMP_STATUS|||PM=" + QByteArray::number(pump).rightJustified(3, '0') +
           "||^";
}

QByteArray salesBody(int pump)
{
    return "2||POST|REQ_GET_PUMP_SALES|||PM=" + QByteArray::number(pump) + "|QT=1||^";
}

QByteArray commandBody(const QByteArray& name, const QByteArray& params)
{
    return "2||POST|" + name + "|||" + params + "||^";
}

// The value of "|key=" in a reply body, up to the next "|".
QByteArray field(const QByteArray& body, const QByteArray& key)
{
    const QByteArray needle = "|" + key + "=";
    const qsizetype at = body.indexOf(needle);
    if (at < 0) {
        return {};
    }
    const qsizetype from = at + needle.size();
    return body.sliced(from, body.indexOf('|', from) - from);
}

FakeController::Options withFaults(const std::function<void(FaultSettings&)>& set)
{
    FakeController::Options options;
    set(options.faults);
    return options;
}

ExchangeEntry onlyExchange(const FakeController& fake)
{
    if (!fake.waitForExchanges(1)) {
        return {};
    }
    return fake.exchanges().value(0);
}

} // namespace

class TestSimEngine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void splitAndMergedFrames();
    void badFrameIsAnsweredAndClosed();
    void replies_data();
    void replies();
    void concurrentConnections();
    void pumpLifeCycleOverTheWire();
    void modelRunsFasterWithSpeed();
    void scriptedStatusesThenLastStays();
    void scriptedSalesInTurn();
    void silentPump();
    void replyActionsOnceThenNormal();

    void lateReply_data();
    void lateReply();
    void splitReply();
    void closeInsteadOfReply();
    void resetInsteadOfReply();
    void silentFault();
    void garbage();
    void highBytes();
    void replyForms_data();
    void replyForms();
    void stiFirst();
    void twice();
    void faultsOnlyWhereAsked();
    void refuseForAWhile();
    void restartDropsAndRefuses();
};

void TestSimEngine::splitAndMergedFrames()
{
    FakeController fake;
    WireClient client;
    QVERIFY(client.open(fake.port()));
    // Two frames in one write, then a third one byte at a time.
    client.send(Frame(kStatus7) + Frame(kSales4));
    for (const char c : Frame(kStatus12)) {
        client.send(QByteArray(1, c));
    }
    QCOMPARE(client.readFrameBody(), kIdle7);
    QCOMPARE(field(client.readFrameBody(), "TI1"), QByteArray()); // no sale yet
    QCOMPARE(field(client.readFrameBody(), "PM"), QByteArray("012"));
    QVERIFY(fake.waitForExchanges(3));
    const auto exchanges = fake.exchanges();
    QCOMPARE(exchanges[0].request, kStatus7);
    QCOMPARE(exchanges[1].request, kSales4);
    QCOMPARE(exchanges[2].request, kStatus12);
    for (const ExchangeEntry& e : exchanges) {
        QVERIFY(e.valid());
        QCOMPARE(e.connection, exchanges[0].connection);
    }
}

void TestSimEngine::badFrameIsAnsweredAndClosed()
{
    FakeController fake;
    WireClient client;
    QVERIFY(client.open(fake.port()));
    client.send("0035|5|" + kStatus7); // four length digits
    const QByteArray body = client.readFrameBody();
    QCOMPARE(field(body, "RC"), QByteArray("ERR_FRAME"));
    QVERIFY(body.startsWith("2||POST|RES_ERROR|||"));
    client.readUntilClosed();
    QCOMPARE(client.socket().state(), QAbstractSocket::UnconnectedState);
    QVERIFY(fake.waitForServerEvent(u"protocol_error"_s));
    QVERIFY(fake.requests().isEmpty());
}

void TestSimEngine::replies_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("status") << kStatus7 << kIdle7;
    QTest::newRow("status, PM echoed as sent")
        << QByteArray("2||POST|REQ_PUMP_STATUS|||PM=7||^")
        << QByteArray("2||POST|RES_PUMP_STATUS|||RC=OK|PM=7|PS=IDLE||^");
    QTest::newRow("status of pump 21")
        << QByteArray("2||POST|REQ_PUMP_STATUS|||PM=021||^")
        << QByteArray("2||POST|RES_PUMP_STATUS|||RC=ERR_PUMP|PM=021|MSG=surtidor invalido: 021||^");
    QTest::newRow("sales, none yet")
        << kSales4
        << QByteArray("2||POST|RES_GET_PUMP_SALES|||RC=OK|SA1=|TI1=|DA1=|STI1=|PM=4|HO1=|GR1=|"
                      "VO1=|PU1=|AM1=|IV1=|FV1=|AVGTM1=|PAY_TY1=||^");
    QTest::newRow("sales without PM")
        << QByteArray("2||POST|REQ_GET_PUMP_SALES|||QT=1||^")
        << QByteArray("2||POST|RES_GET_PUMP_SALES|||RC=ERR_PUMP|MSG=surtidor invalido: ||^");
    QTest::newRow("authorize, nobody calling")
        << commandBody("REQ_AUTHORIZE", "PM=003|AU=1")
        << QByteArray("2||POST|RES_AUTHORIZE|||RC=ERR_STATE|PM=003|MSG=el surtidor esta en "
                      "IDLE||^");
    QTest::newRow("stop") << commandBody("REQ_STOP", "PM=005")
                          << QByteArray("2||POST|RES_STOP|||RC=OK|PM=005||^");
    QTest::newRow("resume, blank in the pump")
        << commandBody("REQ_RESUME", "PM=0 5")
        << QByteArray("2||POST|RES_RESUME|||RC=ERR_PUMP|PM=0 5|MSG=surtidor invalido: 0 5||^");
    QTest::newRow("price change") << commandBody("REQ_PRICE_CHANGE",
                                                 "PM=001|GP=812|GR=745,5|DP=|DR=|KR=|RC=")
                                  << QByteArray("2||POST|RES_PRICE_CHANGE|||RC=OK|PM=001||^");
    QTest::newRow("price change, euro sent as ?")
        << commandBody("REQ_PRICE_CHANGE", "PM=001|GP=?1|GR=|DP=|DR=|KR=|RC=")
        << QByteArray("2||POST|RES_PRICE_CHANGE|||RC=ERR_PRICE|PM=001|MSG=precio invalido en "
                      "GP||^");
    QTest::newRow("unknown request")
        << commandBody("REQ_REBOOT", "PM=001")
        << QByteArray("2||POST|RES_ERROR|||RC=ERR_UNKNOWN_REQUEST|PM=001|MSG=solicitud "
                      "desconocida: REQ_REBOOT||^");
    QTest::newRow("bar typed into the pump")
        << commandBody("REQ_STOP", "PM=1|2")
        << QByteArray("2||POST|RES_ERROR|||RC=ERR_FORMAT|MSG=parametro sin la forma "
                      "clave=valor: \"2\"||^");
}

void TestSimEngine::replies()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    FakeController fake;
    WireClient client;
    QVERIFY(client.open(fake.port()));
    QCOMPARE(client.roundTrip(request), reply);
    // Errors do not end the connection: the next request is answered.
    QCOMPARE(client.roundTrip(kStatus7), kIdle7);
}

void TestSimEngine::concurrentConnections()
{
    FakeController fake;
    constexpr int kClients = 12;
    std::array<WireClient, kClients> clients;
    for (int i = 0; i < kClients; ++i) {
        QVERIFY(clients[i].open(fake.port()));
    }
    // All requests are out before any reply is read.
    for (int i = 0; i < kClients; ++i) {
        clients[i].sendBody(statusBody(i % 20 + 1));
    }
    for (int i = 0; i < kClients; ++i) {
        const QByteArray body = clients[i].readFrameBody();
        QCOMPARE(field(body, "PM"), QByteArray::number(i % 20 + 1).rightJustified(3, '0'));
        QCOMPARE(field(body, "PS"), QByteArray("IDLE"));
    }
    QCOMPARE(fake.connectionCount(), kClients);
    QSet<qint64> ids;
    for (const ExchangeEntry& e : fake.requests()) {
        ids.insert(e.connection);
    }
    QCOMPARE(ids.size(), kClients);
}

void TestSimEngine::pumpLifeCycleOverTheWire()
{
    FakeController fake;
    WireClient poll;
    WireClient main;
    QVERIFY(poll.open(fake.port()));
    QVERIFY(main.open(fake.port()));

    fake.liftNozzle(7);
    QCOMPARE(field(poll.roundTrip(kStatus7), "PS"), QByteArray("CALLING"));
    // The request is in the record as soon as its reply has been read.
    QCOMPARE(fake.requests(u"REQ_PUMP_STATUS"_s, 7).size(), 1);

    QCOMPARE(main.roundTrip(commandBody("REQ_AUTHORIZE", "PM=007|AU=1")),
             QByteArray("2||POST|RES_AUTHORIZE|||RC=OK|PM=007||^"));
    const auto commands = fake.commands(u"REQ_AUTHORIZE"_s);
    QCOMPARE(commands.size(), 1);
    QCOMPARE(commands[0].pump, 7);
    QCOMPARE(commands[0].before, u"CALLING"_s);
    QCOMPARE(commands[0].after, u"AUTHORIZED"_s);
    QCOMPARE(field(poll.roundTrip(kStatus7), "PS"), QByteArray("AUTHORIZED"));

    fake.advanceModel(3000);
    QCOMPARE(field(poll.roundTrip(kStatus7), "PS"), QByteArray("FUELLING"));
    fake.advanceModel(200'000);
    QCOMPARE(field(poll.roundTrip(kStatus7), "PS"), QByteArray("IDLE"));

    WireClient sales;
    QVERIFY(sales.open(fake.port()));
    const QByteArray reply = sales.roundTrip(salesBody(7));
    QVERIFY(reply.contains("RES_GET_PUMP_SALES"));
    QVERIFY(reply.contains("RC=OK"));
    const std::optional<Sale> sale = fake.lastSale(7);
    QVERIFY(sale);
    for (const auto& [key, value] : sale->fields()) {
        QCOMPARE(QString::fromLatin1(field(reply, key.toLatin1())), value);
    }
    QCOMPARE(sale->ti1, u"1"_s);

    // The record tells the same story.
    QVERIFY(fake.waitForExchanges(6));
    const auto served = fake.exchanges(u"REQ_GET_PUMP_SALES"_s, 7);
    QCOMPARE(served.size(), 1);
    QVERIFY(served[0].valid());
    QCOMPARE(served[0].sale, sale);
    QStringList story;
    for (const ModelEventEntry& e : fake.modelEvents()) {
        story.append(e.event.kind == ModelEvent::Kind::SaleCompleted ? u"sale"_s : e.event.to);
    }
    QCOMPARE(story,
             (QStringList{u"CALLING"_s, u"AUTHORIZED"_s, u"FUELLING"_s, u"sale"_s, u"IDLE"_s}));
    const auto statuses = fake.exchanges(u"REQ_PUMP_STATUS"_s, 7);
    QCOMPARE(statuses.size(), 4);
    QCOMPARE(statuses[0].status, u"CALLING"_s);
    QCOMPARE(statuses[3].status, u"IDLE"_s);
}

void TestSimEngine::modelRunsFasterWithSpeed()
{
    FakeController::Options options;
    options.randomCalls = true;
    options.manualClock = false;
    options.speed = 500; // a model minute in about 120 ms
    options.meanIdleMs = 4000;
    options.callTimeoutMs = 2000;
    FakeController fake(options);
    auto timedOut = [&] {
        for (const ModelEventEntry& e : fake.modelEvents()) {
            if (e.event.cause == u"call_timeout") {
                return true;
            }
        }
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(timedOut(), 10000);
    const auto events = fake.modelEvents();
    qint64 lastModel = 0;
    qint64 lastMs = 0;
    for (const ModelEventEntry& e : events) {
        QVERIFY(e.event.modelMs >= lastModel);
        QVERIFY(e.ms >= lastMs);
        lastModel = e.event.modelMs;
        lastMs = e.ms;
    }
    // Model time ran ahead of the controller's clock by the speed factor.
    QVERIFY(events.last().event.modelMs > 10 * events.last().ms);
}

void TestSimEngine::scriptedStatusesThenLastStays()
{
    FakeController fake;
    fake.scriptStatuses(3, {u"CALLING"_s, u"IDLE"_s});
    WireClient client;
    QVERIFY(client.open(fake.port()));
    QCOMPARE(field(client.roundTrip(statusBody(3)), "PS"), QByteArray("CALLING"));
    QCOMPARE(field(client.roundTrip(statusBody(4)), "PS"), QByteArray("IDLE"));
    QCOMPARE(field(client.roundTrip(statusBody(3)), "PS"), QByteArray("IDLE"));
    QCOMPARE(field(client.roundTrip(statusBody(3)), "PS"), QByteArray("IDLE"));
    // Any text, as a test may need: longer than the program's window, odd bytes.
    fake.scriptStatuses(3, {u"ABCDEFGHIJKL"_s});
    QCOMPARE(field(client.roundTrip(statusBody(3)), "PS"), QByteArray("ABCDEFGHIJKL"));
}

void TestSimEngine::scriptedSalesInTurn()
{
    FakeController fake;
    Sale first = veltrane::testing::SampleSale(4, 7);
    Sale second = veltrane::testing::SampleSale(4, 8);
    second.payTy1 = u" efectivo "_s;
    fake.scriptSales(4, {first, second});
    WireClient client;
    QVERIFY(client.open(fake.port()));
    QCOMPARE(field(client.roundTrip(kSales4), "TI1"), QByteArray("7"));
    const QByteArray again = client.roundTrip(kSales4);
    QCOMPARE(field(again, "TI1"), QByteArray("8"));
    QCOMPARE(field(again, "PAY_TY1"), QByteArray(" efectivo "));
    QCOMPARE(field(client.roundTrip(kSales4), "TI1"), QByteArray("8"));
    QVERIFY(fake.waitForExchanges(3));
    QCOMPARE(fake.exchanges()[0].sale, first);
    QCOMPARE(fake.exchanges()[2].sale, second);
}

void TestSimEngine::silentPump()
{
    FakeController fake;
    fake.setSilent(5);
    WireClient client;
    QVERIFY(client.open(fake.port()));
    client.sendBody(statusBody(5));
    client.sendBody(salesBody(5));
    // Pump 6 answers on the same connection, and its reply comes first.
    QCOMPARE(field(client.roundTrip(statusBody(6)), "PM"), QByteArray("006"));
    QVERIFY(fake.waitForExchanges(3));
    const auto silent = fake.exchanges({}, 5);
    QCOMPARE(silent.size(), 2);
    for (const ExchangeEntry& e : silent) {
        QCOMPARE(e.outcome, Outcome::Silent);
        QVERIFY(e.reply.isEmpty());
    }
    QVERIFY(client.buffered().isEmpty());
    QCOMPARE(client.socket().bytesAvailable(), 0);
}

void TestSimEngine::replyActionsOnceThenNormal()
{
    FakeController fake;
    fake.scriptSales(3, {veltrane::testing::SampleSale(3, 1)});
    fake.scriptReplies(
        u"REQ_GET_PUMP_SALES"_s, 3,
        {ReplyAction::silence(), ReplyAction::body("2||POST|RES_GET_PUMP_SALES|||RC=ERR||^")});
    WireClient client;
    QVERIFY(client.open(fake.port()));
    client.sendBody(salesBody(3));
    QCOMPARE(client.roundTrip(salesBody(3)), QByteArray("2||POST|RES_GET_PUMP_SALES|||RC=ERR||^"));
    QCOMPARE(field(client.roundTrip(salesBody(3)), "TI1"), QByteArray("1"));
    QVERIFY(fake.waitForExchanges(3));
    const auto e = fake.exchanges();
    QCOMPARE(e[0].outcome, Outcome::Silent);
    QVERIFY(e[0].scripted);
    QCOMPARE(e[1].outcome, Outcome::Replied);
    QVERIFY(!e[1].valid()); // not the controller's own reply
    QVERIFY(e[2].valid());
    QVERIFY(!e[2].scripted);
}

void TestSimEngine::lateReply_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("window");

    QTest::newRow("status after 50 + 500 ms") << kStatus7 << 550;
    QTest::newRow("sales after 150 + 800 ms") << kSales4 << 950;
    QTest::newRow("command after 100 ms") << commandBody("REQ_STOP", "PM=001") << 100;
}

void TestSimEngine::lateReply()
{
    QFETCH(QByteArray, request);
    QFETCH(int, window);
    FakeController fake(withFaults([](FaultSettings& f) {
        f.late = 1;
        f.lateMarginMs = 40;
    }));
    WireClient client;
    QVERIFY(client.open(fake.port()));
    QElapsedTimer clock;
    clock.start();
    client.sendBody(request);
    const QByteArray body = client.readFrameBody(5000);
    QVERIFY(!body.isEmpty());
    QVERIFY(clock.elapsed() >= window + 40);
    const ExchangeEntry e = onlyExchange(fake);
    QVERIFY(e.valid()); // whole and unaltered, only late
    QCOMPARE(e.faults, QStringList{u"late"_s});
    QVERIFY(e.firstByteMs - e.arrivedMs >= window + 40);
}

void TestSimEngine::splitReply()
{
    FakeController fake(withFaults([](FaultSettings& f) {
        f.split = 1;
        f.splitPieces = 3;
        f.splitPauseMs = 80;
    }));
    WireClient client;
    QVERIFY(client.open(fake.port()));
    client.sendBody(kStatus7);
    const QByteArray first = client.readFirstChunk();
    QVERIFY(!first.isEmpty());
    QVERIFY(first.size() < Frame(kIdle7).size()); // the rest is 80 ms away
    QByteArray all = first;
    while (all.size() < Frame(kIdle7).size()) {
        const QByteArray more = client.readFirstChunk();
        QVERIFY(!more.isEmpty());
        all += more;
    }
    QCOMPARE(all, Frame(kIdle7));
    const ExchangeEntry e = onlyExchange(fake);
    QVERIFY(e.valid());
    QCOMPARE(e.faults, QStringList{u"split"_s});
    QVERIFY(e.finishedMs - e.firstByteMs >= 160);
}

void TestSimEngine::closeInsteadOfReply()
{
    FakeController fake(withFaults([](FaultSettings& f) { f.close = 1; }));
    WireClient client;
    QVERIFY(client.open(fake.port()));
    client.sendBody(kStatus7);
    QCOMPARE(client.readUntilClosed(), QByteArray());
    QCOMPARE(client.socket().state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(client.socket().error(), QAbstractSocket::RemoteHostClosedError);
    const ExchangeEntry e = onlyExchange(fake);
    QCOMPARE(e.outcome, Outcome::Closed);
    QVERIFY(!e.valid());
    QVERIFY(fake.waitForServerEvent(u"disconnect"_s));
    QCOMPARE(fake.serverEvents(u"disconnect"_s).value(0).detail, u"close"_s);
}

void TestSimEngine::resetInsteadOfReply()
{
#ifdef Q_OS_UNIX
    // Qt reports a reset and an orderly close alike, so ask the socket itself:
    // a reset makes recv fail with ECONNRESET where a close returns 0.
    auto receiveAfter = [](quint16 port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            return std::pair<ssize_t, int>{-2, errno};
        }
        const QByteArray frame = Frame(kStatus7);
        ::send(fd, frame.constData(), size_t(frame.size()), 0);
        char buffer[64];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        const int error = errno;
        ::close(fd);
        return std::pair<ssize_t, int>{n, error};
    };
    {
        FakeController fake(withFaults([](FaultSettings& f) { f.reset = 1; }));
        const auto [n, error] = receiveAfter(fake.port());
        QCOMPARE(n, ssize_t(-1));
        QCOMPARE(error, ECONNRESET);
        QCOMPARE(onlyExchange(fake).outcome, Outcome::Reset);
        QVERIFY(fake.waitForServerEvent(u"disconnect"_s));
        QCOMPARE(fake.serverEvents(u"disconnect"_s).value(0).detail, u"reset"_s);
    }
    {
        FakeController fake(withFaults([](FaultSettings& f) { f.close = 1; }));
        QCOMPARE(receiveAfter(fake.port()).first, ssize_t(0));
    }
#else
    QSKIP("checked through POSIX sockets");
#endif
}

void TestSimEngine::silentFault()
{
    FakeController fake(withFaults([](FaultSettings& f) { f.silent = 1; }));
    WireClient client;
    QVERIFY(client.open(fake.port()));
    client.sendBody(kStatus7);
    const ExchangeEntry e = onlyExchange(fake);
    QCOMPARE(e.outcome, Outcome::Silent);
    QCOMPARE(e.faults, QStringList{u"silent"_s});
    QCOMPARE(client.socket().state(), QAbstractSocket::ConnectedState);
    QCOMPARE(client.socket().bytesAvailable(), 0);
}

void TestSimEngine::garbage()
{
    FakeController fake(withFaults([](FaultSettings& f) { f.garbage = 1; }));
    WireClient client;
    QVERIFY(client.open(fake.port()));
    client.sendBody(kStatus7);
    const ExchangeEntry e = onlyExchange(fake);
    QCOMPARE(e.faults, QStringList{u"garbage"_s});
    QCOMPARE(e.outcome, Outcome::Replied);
    QVERIFY(!e.valid());
    QVERIFY(e.reply.size() >= 8);
    QVERIFY(!e.reply.contains("PS="));
    QByteArray got;
    while (got.size() < e.reply.size()) {
        const QByteArray chunk = client.readFirstChunk();
        QVERIFY(!chunk.isEmpty());
        got += chunk;
    }
    QCOMPARE(got, e.reply);
}

// Accented text as a controller sends it: inside the sale's values, in
// Latin-1, the same bytes in every reply of the sale; a sound reply still.
void TestSimEngine::highBytes()
{
    FakeController fake(withFaults([](FaultSettings& f) { f.highBytes = 1; }));
    Sale card = veltrane::testing::SampleSale(4, 128);
    card.payTy1 = u"TARJETA"_s;
    fake.scriptSales(4, {card});
    WireClient client;
    QVERIFY(client.open(fake.port()));
    const QByteArray first = client.roundTrip(kSales4);
    QCOMPARE(client.roundTrip(kSales4), first);
    QCOMPARE(field(first, "PAY_TY1"), QByteArray("TARJETA D\xC9"
                                                 "BITO"));
    QVERIFY(std::any_of(first.begin(), first.end(), [](char c) { return uchar(c) >= 128; }));
    const QByteArray name = field(first, "OPE1"); // an operator's name, read by no column
    QVERIFY(std::any_of(name.begin(), name.end(), [](char c) { return uchar(c) >= 128; }));
    QVERIFY(fake.waitForExchanges(2));
    const ExchangeEntry e = fake.exchanges()[0];
    QCOMPARE(e.faults, QStringList{u"high_bytes"_s});
    QVERIFY(e.valid());
    QCOMPARE(e.sale->payTy1, u"TARJETA DÉBITO"_s);
    // Cash keeps its word; status replies carry no accents.
    fake.scriptSales(4, {veltrane::testing::SampleSale(4, 129)});
    QCOMPARE(field(client.roundTrip(kSales4), "PAY_TY1"), QByteArray("EFECTIVO"));
    QCOMPARE(client.roundTrip(kStatus7), kIdle7);
    QVERIFY(fake.waitForExchanges(4));
    QVERIFY(fake.exchanges()[3].faults.isEmpty());
}

// How the replies are laid out where the protocol leaves it to the
// controller: what the length counts, the closing "^", the field order.
void TestSimEngine::replyForms_data()
{
    QTest::addColumn<LengthCount>("length");
    QTest::addColumn<bool>("caret");
    QTest::addColumn<FieldOrder>("order");
    QTest::newRow("as the requests") << LengthCount::Body << true << FieldOrder::Listed;
    QTest::newRow("length of the message") << LengthCount::Message << true << FieldOrder::Listed;
    QTest::newRow("no length, no caret") << LengthCount::None << false << FieldOrder::Listed;
    QTest::newRow("body, no caret, reversed") << LengthCount::Body << false << FieldOrder::Reversed;
    QTest::newRow("message, shuffled") << LengthCount::Message << true << FieldOrder::Shuffled;
}

void TestSimEngine::replyForms()
{
    QFETCH(LengthCount, length);
    QFETCH(bool, caret);
    QFETCH(FieldOrder, order);
    FakeController::Options options;
    options.form = {length, caret, order};
    FakeController fake(options);
    fake.scriptSales(4, {veltrane::testing::SampleSale(4, 128)});
    WireClient client;
    QVERIFY(client.open(fake.port()));
    client.sendBody(kSales4);
    const ExchangeEntry e = onlyExchange(fake);
    QVERIFY(e.valid());
    QByteArray reply;
    while (reply.size() < e.reply.size()) {
        const QByteArray chunk = client.readFirstChunk();
        QVERIFY(!chunk.isEmpty());
        reply += chunk;
    }
    QCOMPARE(reply, e.reply);

    const qsizetype bar = reply.indexOf("|5|");
    QByteArray body = reply;
    if (length == LengthCount::None) {
        QVERIFY(reply.startsWith("2||POST|RES_GET_PUMP_SALES|||"));
    } else {
        QVERIFY(bar >= 5);
        body = reply.sliced(bar + 3);
        QCOMPARE(reply.first(bar).toLongLong(),
                 length == LengthCount::Body ? body.size() : reply.size());
    }
    QVERIFY(body.endsWith(caret ? "||^" : "||") && !body.endsWith("|||"));
    const QByteArray fields = body.sliced(29).chopped(caret ? 3 : 2);
    QStringList keys;
    for (const QByteArray& item : fields.split('|')) {
        keys.append(QString::fromLatin1(item.first(item.indexOf('='))));
    }
    QStringList listed = {u"RC"_s,  u"SA1"_s, u"TI1"_s, u"DA1"_s,    u"STI1"_s,
                          u"PM"_s,  u"HO1"_s, u"GR1"_s, u"VO1"_s,    u"PU1"_s,
                          u"AM1"_s, u"IV1"_s, u"FV1"_s, u"AVGTM1"_s, u"PAY_TY1"_s};
    if (order == FieldOrder::Reversed) {
        std::reverse(listed.begin(), listed.end());
    }
    if (order == FieldOrder::Shuffled) {
        QVERIFY(keys != listed);
        std::sort(keys.begin(), keys.end());
        std::sort(listed.begin(), listed.end());
    }
    QCOMPARE(keys, listed);
    QCOMPARE(field("|" + fields + "|", "TI1"), QByteArray("128"));
}

void TestSimEngine::stiFirst()
{
    FakeController fake(withFaults([](FaultSettings& f) { f.stiFirst = 1; }));
    fake.scriptSales(4, {veltrane::testing::SampleSale(4, 128)});
    WireClient client;
    QVERIFY(client.open(fake.port()));
    const QByteArray body = client.roundTrip(kSales4);
    QVERIFY(body.indexOf("|STI1=") < body.indexOf("|TI1="));
    QCOMPARE(field(body, "TI1"), QByteArray("128"));
    const ExchangeEntry e = onlyExchange(fake);
    QCOMPARE(e.faults, QStringList{u"sti_first"_s});
    QVERIFY(e.valid()); // field order is free: still a sound reply
    // Status replies have no STI1: the fault leaves them alone.
    client.roundTrip(kStatus7);
    QVERIFY(fake.waitForExchanges(2));
    QVERIFY(fake.exchanges()[1].faults.isEmpty());
}

void TestSimEngine::twice()
{
    FakeController fake(withFaults([](FaultSettings& f) { f.twice = 1; }));
    WireClient client;
    QVERIFY(client.open(fake.port()));
    client.sendBody(kStatus7);
    QCOMPARE(client.readFrameBody(), kIdle7);
    QCOMPARE(client.readFrameBody(), kIdle7);
    QCOMPARE(onlyExchange(fake).faults, QStringList{u"twice"_s});
}

void TestSimEngine::faultsOnlyWhereAsked()
{
    FakeController fake(withFaults([](FaultSettings& f) {
        f.silent = 1;
        f.appliesTo = int(RequestClass::Sales);
    }));
    WireClient client;
    QVERIFY(client.open(fake.port()));
    client.sendBody(kSales4);
    QCOMPARE(client.roundTrip(kStatus7), kIdle7);
    QVERIFY(fake.waitForExchanges(2));
    QCOMPARE(fake.exchanges(u"REQ_GET_PUMP_SALES"_s).value(0).outcome, Outcome::Silent);
}

void TestSimEngine::refuseForAWhile()
{
    // Each step below has two seconds to fall in its phase (open, refused,
    // open again), so a loaded machine does not make it miss one.
    FakeController fake(withFaults([](FaultSettings& f) {
        f.refuseEveryMs = 4000;
        f.refuseForMs = 2000;
    }));
    WireClient before;
    QVERIFY(before.open(fake.port()));
    QVERIFY(fake.waitForServerEvent(u"refuse_start"_s, 10000));
    WireClient refused;
    QVERIFY(!refused.open(fake.port()));
    QCOMPARE(refused.socket().error(), QAbstractSocket::ConnectionRefusedError);
    // A connection made before the refusal goes on working.
    QCOMPARE(before.roundTrip(kStatus7), kIdle7);
    QVERIFY(fake.waitForServerEvent(u"refuse_end"_s, 10000));
    WireClient after;
    QVERIFY(after.open(fake.port()));
    QCOMPARE(after.roundTrip(kStatus7), kIdle7);
}

void TestSimEngine::restartDropsAndRefuses()
{
    // Three seconds to open and ask before the restart, and three to be
    // refused after it: room enough on a loaded machine.
    FakeController fake(withFaults([](FaultSettings& f) {
        f.restartEveryMs = 3000;
        f.restartDownMs = 3000;
    }));
    WireClient client;
    QVERIFY(client.open(fake.port()));
    QCOMPARE(client.roundTrip(kStatus7), kIdle7);
    client.readUntilClosed(10000);
    QCOMPARE(client.socket().state(), QAbstractSocket::UnconnectedState);
    QVERIFY(fake.waitForServerEvent(u"restart"_s));
    WireClient during;
    QVERIFY(!during.open(fake.port()));
    QVERIFY(fake.waitForServerEvent(u"disconnect"_s));
    QCOMPARE(fake.serverEvents(u"disconnect"_s).value(0).detail, u"restart"_s);
}

QTEST_GUILESS_MAIN(TestSimEngine)
#include "test_sim_engine.moc"
