#pragma once

// FakeController: the stand-in forecourt controller (forecourt-sim's engine)
// running on a thread of its own inside a test, on 127.0.0.1 and a free port.
// The program's code blocks its thread while it waits for a reply, so the
// controller must not share that thread.
//
//     veltrane::testing::FakeController fake;          // listening at once
//     connection.SetPort(fake.port());
//
// By default the pumps never call by themselves and model time stands still
// (manual clock): every pump answers IDLE and has no sale until the test says
// otherwise. Three ways to say it:
//
// 1. Scripts (win over the model; statuses and sales: each request for that
//    pump takes the next entry and the last one stays):
//        fake.scriptStatuses(3, {u"CALLING"_s, u"IDLE"_s}); // 1st CALLING, then IDLE
//        fake.scriptSales(4, {SampleSale(4, 7), SampleSale(4, 8)});
//        fake.setSilent(5);                                // pump 5 never answers
// 2. Raw reply behaviour per request, each action used once, in order, then
//    normal replies again (request name empty = any request, pump 0 = any):
//        using A = veltrane::sim::ReplyAction;
//        fake.scriptReplies(u"REQ_GET_PUMP_SALES"_s, 3, {A::silence(), A::delayed(300)});
//        fake.scriptReplies(u"REQ_PUMP_STATUS"_s, 0, {A::split(3, 120)});
//        fake.scriptReplies({}, 0, {A::close(), A::reset(), A::raw("junk")});
//        fake.scriptReplies({}, 0, {A::rawThenClose("00099|5|2||PO")}); // cut off
//        fake.scriptReplies(u"REQ_GET_PUMP_SALES"_s, 2, {A::body("...RC=OK...")});
//    A body is framed for you; raw bytes go out exactly as given.
// 3. The pump model itself: liftNozzle(7) makes pump 7 CALLING; after an
//    authorization advanceModel(5000) starts the fuelling and a long enough
//    advanceModel (200000 covers the largest fill) ends it with a sale.
//
// What it saw, all thread-safe copies:
// - requests(): every request as it arrived. A request is listed before any
//   byte of its reply is sent, so once the caller has read a reply the
//   request is there.
// - exchanges(): finished exchanges with their outcome (replied, silent,
//   closed, reset, dropped), the reply bytes, the status or sale served and
//   the faults applied. An exchange is listed once its reply is out, which
//   can be a moment after the caller read it: use waitForExchanges(n).
// - commands(): REQ_AUTHORIZE / STOP / RESUME / PRICE_CHANGE with arrival
//   time, pump, reply code and pump status before and after.
// - modelEvents(): pump status changes (with cause) and completed sales.
// - serverEvents(): connect, disconnect, protocol_error, refuse_start, ...
// Times are milliseconds on the controller's clock (its start is 0).
//
// Faults as forecourt-sim's flags: Options::faults (rates 0..1).

#include "sim/engine.h"

#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <functional>
#include <memory>

namespace veltrane::testing {

using sim::ReplyAction;
using sim::Sale;
using sim::SampleSale;

class FakeController
{
public:
    struct Options
    {
        quint64 seed = 1;
        bool randomCalls = false; // pumps lift their nozzle by themselves
        bool manualClock = true;  // model time moves only with advanceModel
        double speed = 1.0;       // with manualClock false
        qint64 callTimeoutMs = 30000;
        qint64 meanIdleMs = 60000;
        sim::FaultSettings faults;
        sim::ReplyForm form; // how the replies are laid out
        QString recordPath;  // also write the JSON-lines record there
    };

    FakeController();
    explicit FakeController(const Options& options);
    ~FakeController();
    FakeController(const FakeController&) = delete;
    FakeController& operator=(const FakeController&) = delete;

    QString host() const;
    quint16 port() const { return FPort; }

    // Scripts (see above).
    void scriptStatuses(int pump, const QStringList& statuses);
    void scriptSales(int pump, const QList<Sale>& sales);
    void setSilent(int pump, bool silent = true);
    void scriptReplies(const QString& request, int pump, const QList<ReplyAction>& actions);
    void clearScripts();

    // Pump model.
    void liftNozzle(int pump);
    void advanceModel(qint64 ms);
    QString modelStatus(int pump) const;
    std::optional<Sale> lastSale(int pump) const;
    qint64 priceCents(int pump, int grade) const;

    // What it saw. request empty = any; pump 0 = any.
    QList<sim::ExchangeEntry> requests(const QString& request = {}, int pump = 0) const;
    QList<sim::ExchangeEntry> exchanges(const QString& request = {}, int pump = 0) const;
    QList<sim::CommandEntry> commands(const QString& request = {}) const;
    QList<sim::ModelEventEntry> modelEvents() const;
    QList<sim::ServerEntry> serverEvents(const QString& event = {}) const;
    // Block the calling thread until there are at least count of them.
    bool waitForRequests(qsizetype count, int timeoutMs = 5000) const;
    bool waitForExchanges(qsizetype count, int timeoutMs = 5000) const;
    bool waitForServerEvent(const QString& event, int timeoutMs = 5000) const;
    void clearRecord();

    int connectionCount() const;
    // Drops every open connection, as a controller restart does.
    void dropConnections();
    // Runs f on the controller's thread, for anything the calls above miss.
    void onEngine(const std::function<void(sim::Engine&)>& f) const;

private:
    class Store;

    std::unique_ptr<Store> FStore;
    std::unique_ptr<sim::ScriptBook> FScripts;
    std::unique_ptr<sim::JsonLinesRecord> FFileRecord;
    QThread FThread;
    QObject* FAnchor = nullptr;     // lives on FThread; calls to the engine go through it
    sim::Engine* FEngine = nullptr; // lives on FThread
    quint16 FPort = 0;
};

} // namespace veltrane::testing
