#include "support/fake_controller.h"

#include <QDeadlineTimer>

#include <stdexcept>

using namespace Qt::StringLiterals;

namespace veltrane::testing {

// Keeps the record for the test thread; written on the controller's thread.
class FakeController::Store : public sim::RecordSink
{
public:
    void onRequest(const sim::ExchangeEntry& e) override { add(FRequests, e); }
    void onExchange(const sim::ExchangeEntry& e) override { add(FExchanges, e); }
    void onCommand(const sim::CommandEntry& e) override { add(FCommands, e); }
    void onModelEvent(const sim::ModelEventEntry& e) override { add(FModelEvents, e); }
    void onServerEvent(const sim::ServerEntry& e) override { add(FServerEvents, e); }

    template <typename T, typename Pred> QList<T> copy(const QList<T>& list, Pred keep) const
    {
        QMutexLocker lock(&FMutex);
        QList<T> out;
        for (const T& item : list) {
            if (keep(item)) {
                out.append(item);
            }
        }
        return out;
    }

    // Waits until done() holds, with the lock held while it is asked.
    bool waitUntil(const std::function<bool()>& done, int timeoutMs) const
    {
        QDeadlineTimer deadline(timeoutMs);
        QMutexLocker lock(&FMutex);
        while (!done()) {
            if (!FChanged.wait(&FMutex, deadline)) {
                return done();
            }
        }
        return true;
    }

    void clear()
    {
        QMutexLocker lock(&FMutex);
        FRequests.clear();
        FExchanges.clear();
        FCommands.clear();
        FModelEvents.clear();
        FServerEvents.clear();
    }

    mutable QMutex FMutex;
    mutable QWaitCondition FChanged;
    QList<sim::ExchangeEntry> FRequests;
    QList<sim::ExchangeEntry> FExchanges;
    QList<sim::CommandEntry> FCommands;
    QList<sim::ModelEventEntry> FModelEvents;
    QList<sim::ServerEntry> FServerEvents;

private:
    template <typename T> void add(QList<T>& list, const T& item)
    {
        QMutexLocker lock(&FMutex);
        list.append(item);
        FChanged.wakeAll();
    }
};

namespace {

bool matches(const sim::ExchangeEntry& e, const QString& request, int pump)
{
    return (request.isEmpty() || e.requestName == request) && (pump == 0 || e.pump == pump);
}

} // namespace

FakeController::FakeController() : FakeController(Options{})
{
}

FakeController::FakeController(const Options& options)
    : FStore(std::make_unique<Store>()), FScripts(std::make_unique<sim::ScriptBook>())
{
    sim::EngineConfig config;
    config.address = QHostAddress(QHostAddress::LocalHost);
    config.port = 0;
    config.seed = options.seed;
    config.speed = options.speed;
    config.manualClock = options.manualClock;
    config.model.randomCalls = options.randomCalls;
    config.model.callTimeoutMs = options.callTimeoutMs;
    config.model.meanIdleMs = options.meanIdleMs;
    config.faults = options.faults;
    config.form = options.form;

    FEngine = new sim::Engine(config);
    FEngine->addSink(FStore.get());
    if (!options.recordPath.isEmpty()) {
        FFileRecord = std::make_unique<sim::JsonLinesRecord>();
        const QString error = FFileRecord->open(options.recordPath);
        if (!error.isEmpty()) {
            delete FEngine;
            throw std::runtime_error(error.toStdString());
        }
        FEngine->addSink(FFileRecord.get());
    }
    FEngine->setScriptBook(FScripts.get());
    FEngine->moveToThread(&FThread);
    FAnchor = new QObject;
    FAnchor->moveToThread(&FThread);
    FThread.setObjectName(u"FakeController"_s);
    FThread.start();

    QString error;
    bool started = false;
    onEngine([&](sim::Engine& engine) { started = engine.start(&error); });
    if (!started) {
        onEngine([this](sim::Engine&) { delete FEngine; });
        FEngine = nullptr;
        FThread.quit();
        FThread.wait();
        delete FAnchor;
        throw std::runtime_error(error.toStdString());
    }
    onEngine([this](sim::Engine& engine) { FPort = engine.port(); });
}

FakeController::~FakeController()
{
    if (FEngine) {
        // The engine and its sockets were made for that thread: end them there.
        onEngine([this](sim::Engine& engine) {
            engine.stop(u"test end"_s);
            delete FEngine;
        });
        FEngine = nullptr;
    }
    FThread.quit();
    FThread.wait();
    delete FAnchor; // its thread has finished
}

void FakeController::onEngine(const std::function<void(sim::Engine&)>& f) const
{
    sim::Engine* engine = FEngine;
    QMetaObject::invokeMethod(
        FAnchor, [engine, &f] { f(*engine); }, Qt::BlockingQueuedConnection);
}

QString FakeController::host() const
{
    return u"127.0.0.1"_s;
}

void FakeController::scriptStatuses(int pump, const QStringList& statuses)
{
    FScripts->setStatuses(pump, statuses);
}

void FakeController::scriptSales(int pump, const QList<Sale>& sales)
{
    FScripts->setSales(pump, sales);
}

void FakeController::setSilent(int pump, bool silent)
{
    FScripts->setSilent(pump, silent);
}

void FakeController::scriptReplies(const QString& request, int pump,
                                   const QList<ReplyAction>& actions)
{
    FScripts->addReplyActions(request, pump, actions);
}

void FakeController::clearScripts()
{
    FScripts->clear();
}

void FakeController::liftNozzle(int pump)
{
    onEngine([pump](sim::Engine& engine) {
        engine.withModel([pump](sim::PumpModel& model) { model.liftNozzle(pump); });
    });
}

void FakeController::advanceModel(qint64 ms)
{
    onEngine([ms](sim::Engine& engine) { engine.advanceModel(ms); });
}

QString FakeController::modelStatus(int pump) const
{
    QString status;
    onEngine([&](sim::Engine& engine) { status = engine.model().status(pump); });
    return status;
}

std::optional<Sale> FakeController::lastSale(int pump) const
{
    std::optional<Sale> sale;
    onEngine([&](sim::Engine& engine) { sale = engine.model().lastSale(pump); });
    return sale;
}

qint64 FakeController::priceCents(int pump, int grade) const
{
    qint64 cents = 0;
    onEngine([&](sim::Engine& engine) { cents = engine.model().priceCents(pump, grade); });
    return cents;
}

QList<sim::ExchangeEntry> FakeController::requests(const QString& request, int pump) const
{
    return FStore->copy(FStore->FRequests,
                        [&](const sim::ExchangeEntry& e) { return matches(e, request, pump); });
}

QList<sim::ExchangeEntry> FakeController::exchanges(const QString& request, int pump) const
{
    return FStore->copy(FStore->FExchanges,
                        [&](const sim::ExchangeEntry& e) { return matches(e, request, pump); });
}

QList<sim::CommandEntry> FakeController::commands(const QString& request) const
{
    return FStore->copy(FStore->FCommands, [&](const sim::CommandEntry& e) {
        return request.isEmpty() || e.request == request;
    });
}

QList<sim::ModelEventEntry> FakeController::modelEvents() const
{
    return FStore->copy(FStore->FModelEvents, [](const sim::ModelEventEntry&) { return true; });
}

QList<sim::ServerEntry> FakeController::serverEvents(const QString& event) const
{
    return FStore->copy(FStore->FServerEvents, [&](const sim::ServerEntry& e) {
        return event.isEmpty() || e.event == event;
    });
}

bool FakeController::waitForRequests(qsizetype count, int timeoutMs) const
{
    return FStore->waitUntil([&] { return FStore->FRequests.size() >= count; }, timeoutMs);
}

bool FakeController::waitForExchanges(qsizetype count, int timeoutMs) const
{
    return FStore->waitUntil([&] { return FStore->FExchanges.size() >= count; }, timeoutMs);
}

bool FakeController::waitForServerEvent(const QString& event, int timeoutMs) const
{
    return FStore->waitUntil(
        [&] {
            for (const sim::ServerEntry& e : FStore->FServerEvents) {
                if (e.event == event) {
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
}

void FakeController::clearRecord()
{
    FStore->clear();
}

int FakeController::connectionCount() const
{
    int count = 0;
    onEngine([&](sim::Engine& engine) { count = engine.connectionCount(); });
    return count;
}

void FakeController::dropConnections()
{
    onEngine([](sim::Engine& engine) { engine.dropConnections(u"test"_s); });
}

} // namespace veltrane::testing
