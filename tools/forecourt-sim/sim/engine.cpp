#include "sim/engine.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <deque>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

using namespace Qt::StringLiterals;

namespace veltrane::sim {
namespace {

// SO_LINGER with a zero time-out: closing then sends a reset instead of FIN.
void setAbortiveClose(QTcpSocket* socket)
{
    const qintptr fd = socket->socketDescriptor();
    if (fd < 0) {
        return;
    }
    linger option{};
    option.l_onoff = 1;
    option.l_linger = 0;
#ifdef Q_OS_WIN
    ::setsockopt(SOCKET(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
                 sizeof option);
#else
    ::setsockopt(int(fd), SOL_SOCKET, SO_LINGER, &option, sizeof option);
#endif
}

// Reply texts travel as single bytes and "|" separates fields.
QString messageText(QString text)
{
    for (QChar& ch : text) {
        if (ch == u'|' || ch.unicode() > 127) {
            ch = u'/';
        }
    }
    return text;
}

// Accented text as a controller writes it for its own people: the operator's
// name, and the payment types that carry an accent in Spanish. Cash and "0"
// stay as they are.
Sale withAccents(Sale sale, quint64 pick)
{
    static const QStringList operators = {u"JOSÉ PEÑA"_s, u"MARÍA NÚÑEZ"_s, u"ÁNGEL GÓMEZ"_s,
                                          u"LUCÍA OCAÑA"_s};
    sale.ope1 = operators[qsizetype((pick >> 8) % quint64(operators.size()))];
    if (sale.payTy1 == u"TARJETA") {
        sale.payTy1 = u"TARJETA DÉBITO"_s;
    } else if (sale.payTy1 == u"CREDITO") {
        sale.payTy1 = u"CRÉDITO"_s;
    } else if (sale.payTy1 == u"FLOTA") {
        sale.payTy1 = u"FLOTA PÚBLICA"_s;
    }
    return sale;
}

ModelSettings modelSettings(const EngineConfig& config)
{
    ModelSettings m = config.model;
    m.seed = config.seed;
    return m;
}

} // namespace

struct Engine::Connection
{
    struct Step
    {
        ReplyStep step;
        std::shared_ptr<ExchangeEntry> entry;
        bool last = false;
        bool waited = false;
    };

    qint64 id = 0;
    QTcpSocket* socket = nullptr;
    QTimer* timer = nullptr;
    FrameReader reader;
    bool broken = false; // no more requests after a protocol error
    bool gone = false;   // disconnected; removal is pending
    QString closeReason;
    std::deque<Step> queue;
    QList<std::shared_ptr<ExchangeEntry>> flushing; // written, not yet out
};

Engine::Engine(EngineConfig config, QObject* parent)
    : QObject(parent), FConfig(std::move(config)), FModel(modelSettings(FConfig)),
      FFaults(FConfig.faults, FConfig.seed), FOrderRng(FConfig.seed ^ 0x0dde'0000'0000'0001ULL),
      FServer(new QTcpServer(this)), FModelTimer(new QTimer(this)), FRefuseTimer(new QTimer(this)),
      FRestartTimer(new QTimer(this)), FRelistenTimer(new QTimer(this))
{
    if (!(FConfig.speed > 0)) {
        FConfig.speed = 1.0;
    }
    FModel.setListener([this](const ModelEvent& e) { onModelEvent(e); });
    FModelTimer->setSingleShot(true);
    FModelTimer->setTimerType(Qt::PreciseTimer);
    FRelistenTimer->setSingleShot(true);
    for (QTimer* t : {FRefuseTimer, FRestartTimer, FRelistenTimer}) {
        t->setTimerType(Qt::PreciseTimer);
    }
    connect(FServer, &QTcpServer::newConnection, this, &Engine::onNewConnection);
    connect(FModelTimer, &QTimer::timeout, this, [this] {
        syncModel();
        scheduleModel();
    });
    connect(FRefuseTimer, &QTimer::timeout, this,
            [this] { beginRefusal(FConfig.faults.refuseForMs, u"refuse"_s); });
    connect(FRestartTimer, &QTimer::timeout, this, [this] {
        server(u"restart"_s);
        // Down first, then the drop: whoever sees the drop finds the port shut.
        if (FConfig.faults.restartDownMs > 0) {
            beginRefusal(FConfig.faults.restartDownMs, u"restart"_s);
        }
        dropConnections(u"restart"_s);
    });
    connect(FRelistenTimer, &QTimer::timeout, this, &Engine::relisten);
    FClock.start();
}

Engine::~Engine()
{
    if (FRunning) {
        stop(u"destroyed"_s);
    }
}

qint64 Engine::elapsedMs() const
{
    return FClock.elapsed();
}

qint64 Engine::modelNow() const
{
    if (FConfig.manualClock) {
        return FModelOffset;
    }
    return qint64(double(elapsedMs()) * FConfig.speed) + FModelOffset;
}

void Engine::addSink(RecordSink* sink)
{
    FSinks.append(sink);
}

void Engine::server(const QString& event, qint64 connection, const QString& detail,
                    const QJsonObject& extra)
{
    ServerEntry e;
    e.ms = elapsedMs();
    e.wall = wallAt(e.ms);
    e.event = event;
    e.connection = connection;
    e.detail = detail;
    e.extra = extra;
    for (RecordSink* sink : std::as_const(FSinks)) {
        sink->onServerEvent(e);
    }
}

bool Engine::listen(QString* error)
{
    if (!FServer->listen(FConfig.address, FPort != 0 ? FPort : FConfig.port)) {
        if (error) {
            *error = u"no se puede escuchar en %1:%2: %3"_s.arg(
                FConfig.address.toString(), QString::number(FPort != 0 ? FPort : FConfig.port),
                FServer->errorString());
        }
        return false;
    }
    FPort = FServer->serverPort();
    return true;
}

bool Engine::start(QString* error)
{
    if (FRunning) {
        return true;
    }
    // The clock starts with the service, so record times count from here.
    FClock.restart();
    FStartWall = QDateTime::currentDateTime();
    if (!listen(error)) {
        return false;
    }
    FRunning = true;
    QJsonObject extra;
    extra.insert(u"address"_s, FConfig.address.toString());
    extra.insert(u"port"_s, FPort);
    extra.insert(u"seed"_s, QString::number(FConfig.seed));
    extra.insert(u"speed"_s, FConfig.speed);
    extra.insert(u"manual_clock"_s, FConfig.manualClock);
    server(u"start"_s, 0, {}, extra);
    if (FConfig.faults.refuseEveryMs > 0) {
        FRefuseTimer->start(FConfig.faults.refuseEveryMs);
    }
    if (FConfig.faults.restartEveryMs > 0) {
        FRestartTimer->start(FConfig.faults.restartEveryMs);
    }
    syncModel();
    scheduleModel();
    return true;
}

void Engine::stop(const QString& reason)
{
    if (!FRunning) {
        return;
    }
    FRunning = false;
    FModelTimer->stop();
    FRefuseTimer->stop();
    FRestartTimer->stop();
    FRelistenTimer->stop();
    dropConnections(u"stop"_s);
    FServer->close();
    server(u"stop"_s, 0, reason);
}

void Engine::beginRefusal(int ms, const QString& why)
{
    if (!FRunning) {
        return;
    }
    if (FRefusing) {
        return; // a refusal under way is neither cut short nor drawn out
    }
    FRefusing = true;
    FServer->close();
    server(u"refuse_start"_s, 0, why, {{u"for_ms"_s, ms}});
    FRelistenTimer->start(std::max(ms, 0));
}

void Engine::relisten()
{
    if (!FRunning || !FRefusing) {
        return;
    }
    QString error;
    if (!listen(&error)) {
        FRelistenTimer->start(100); // the port may take a moment to come free
        return;
    }
    FRefusing = false;
    server(u"refuse_end"_s);
}

void Engine::dropConnections(const QString& reason)
{
    // Copy the ids: closing may change the map.
    QList<qint64> ids;
    for (const auto& [id, c] : FConnections) {
        if (!c->gone) {
            ids.append(id);
        }
    }
    for (const qint64 id : ids) {
        const auto it = FConnections.find(id);
        if (it != FConnections.end() && !it->second->gone) {
            closeConnection(it->second.get(), reason, false);
        }
    }
}

void Engine::withModel(const std::function<void(PumpModel&)>& f)
{
    syncModel();
    f(FModel);
    scheduleModel();
}

void Engine::advanceModel(qint64 ms)
{
    FModelOffset += std::max<qint64>(ms, 0);
    syncModel();
    scheduleModel();
}

void Engine::syncModel()
{
    FModel.advanceTo(modelNow());
    FLastSyncMs = elapsedMs();
}

void Engine::scheduleModel()
{
    if (FConfig.manualClock || !FRunning) {
        return;
    }
    const qint64 next = FModel.nextTransition();
    if (next < 0) {
        FModelTimer->stop();
        return;
    }
    const double wait = std::ceil(double(next - modelNow()) / FConfig.speed);
    FModelTimer->start(int(std::clamp(wait, 0.0, 3'600'000.0)));
}

void Engine::onModelEvent(const ModelEvent& event)
{
    ModelEventEntry e;
    const qint64 now = elapsedMs();
    if (FConfig.manualClock) {
        e.ms = now;
    } else {
        // The moment the model time was reached on the real clock; the timer
        // that made the model catch up may have fired a little later.
        const auto at = qint64(double(event.modelMs - FModelOffset) / FConfig.speed);
        e.ms = std::clamp(at, std::min(FLastSyncMs, now), now);
    }
    e.wall = wallAt(e.ms);
    e.event = event;
    for (RecordSink* sink : std::as_const(FSinks)) {
        sink->onModelEvent(e);
    }
}

void Engine::onNewConnection()
{
    while (QTcpSocket* socket = FServer->nextPendingConnection()) {
        auto c = std::make_unique<Connection>();
        Connection* raw = c.get();
        c->id = FNextConnectionId++;
        c->socket = socket;
        c->timer = new QTimer(socket);
        c->timer->setSingleShot(true);
        c->timer->setTimerType(Qt::PreciseTimer);
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, raw] { onReadyRead(raw); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, raw] { onBytesWritten(raw); });
        connect(socket, &QTcpSocket::disconnected, this, [this, raw] { onDisconnected(raw); });
        connect(c->timer, &QTimer::timeout, this, [this, raw] { runQueue(raw); });
        FConnections.emplace(c->id, std::move(c));
        server(u"connect"_s, raw->id,
               socket->peerAddress().toString() + u':' + QString::number(socket->peerPort()));
        if (socket->bytesAvailable() > 0) {
            onReadyRead(raw);
        }
    }
}

void Engine::onReadyRead(Connection* c)
{
    if (c->gone) {
        return;
    }
    const QByteArray bytes = c->socket->readAll();
    if (c->broken) {
        return;
    }
    c->reader.append(bytes);
    while (!c->gone) {
        QByteArray body;
        QString error;
        const FrameReader::Result result = c->reader.next(&body, &error);
        if (result == FrameReader::Result::NeedMore) {
            break;
        }
        if (result == FrameReader::Result::Error) {
            protocolError(c, error);
            break;
        }
        handleFrame(c, body);
    }
}

void Engine::protocolError(Connection* c, const QString& why)
{
    c->broken = true;
    server(u"protocol_error"_s, c->id, why);
    // No way to find the next frame: say so and close.
    c->socket->write(
        layOut(u"RES_ERROR"_s, {{u"RC"_s, u"ERR_FRAME"_s}, {u"MSG"_s, messageText(why)}}));
    closeConnection(c, u"protocol_error"_s, false);
}

void Engine::handleFrame(Connection* c, const QByteArray& body)
{
    syncModel();
    const Request request = ParseRequest(body);
    const RequestClass requestClass = request.requestClass();

    auto entry = std::make_shared<ExchangeEntry>();
    entry->id = FNextExchangeId++;
    entry->connection = c->id;
    entry->arrivedMs = elapsedMs();
    entry->arrivedWall = wallAt(entry->arrivedMs);
    entry->request = body;
    entry->requestName = request.wellFormed ? request.name : QString();
    if (request.wellFormed) {
        if (const auto pm = request.param(u"PM")) {
            entry->pumpText = *pm;
            entry->pump = ParsePumpNumber(*pm).value_or(0);
        }
    }
    for (RecordSink* sink : std::as_const(FSinks)) {
        sink->onRequest(*entry);
    }

    FaultDecision decision;
    if (FScripts) {
        if (FScripts->isSilent(entry->pump)) {
            decision.action = ReplyAction::silence();
            entry->scripted = true;
        } else if (auto action = FScripts->nextAction(entry->requestName, entry->pump)) {
            decision.action = *action;
            entry->scripted = true;
        }
    }
    if (!entry->scripted) {
        decision = FFaults.decide(requestClass);
    }
    entry->faults = decision.names;

    const Response response =
        respond(ReplyNameFor(request.name), requestClass, request, *entry, decision.stiFirst);
    entry->rc = response.rc;
    entry->status = response.status;
    entry->sale = response.sale;

    if (response.accented) {
        entry->faults.append(u"high_bytes"_s);
    }
    const QByteArray reply = layOut(response.name, response.fields);
    ReplyAction& action = decision.action;
    if (action.bytes) {
        entry->intact = false;
    }
    if (!entry->scripted && action.pieces > 1 && action.cuts.isEmpty()) {
        action.cuts = FFaults.cuts((action.bytes ? *action.bytes : reply).size(), action.pieces);
    }
    const QList<ReplyStep> steps = PlanSteps(action, reply);
    if (action.kind == ReplyAction::Kind::Reply) {
        entry->reply = action.bytes ? *action.bytes : reply;
    }
    scheduleModel(); // a command may have changed what the model does next

    if (steps.isEmpty()) {
        finish(entry, Outcome::Silent);
        return;
    }
    for (qsizetype i = 0; i < steps.size(); ++i) {
        c->queue.push_back({steps[i], entry, i == steps.size() - 1, false});
    }
    runQueue(c);
}

Engine::Response Engine::respond(const QString& name, RequestClass requestClass,
                                 const Request& request, ExchangeEntry& entry, bool stiFirst)
{
    Response r;
    r.name = name;
    const std::optional<QString> pm = request.param(u"PM");
    auto fail = [&](const QString& rc, const QString& message) {
        r.rc = rc;
        r.fields = {{u"RC"_s, rc}};
        if (pm) {
            r.fields.append({u"PM"_s, *pm});
        }
        r.fields.append({u"MSG"_s, messageText(message)});
        return r;
    };

    if (!request.wellFormed) {
        r.name = u"RES_ERROR"_s;
        return fail(u"ERR_FORMAT"_s, request.formatError);
    }
    if (requestClass == RequestClass::Other) {
        return fail(u"ERR_UNKNOWN_REQUEST"_s, u"solicitud desconocida: "_s + request.name);
    }

    const int pump = entry.pump;
    if (requestClass == RequestClass::Command) {
        // Every command is recorded, a refused one too: tests ask when an
        // authorization arrived, whatever became of it.
        CommandEntry command;
        command.ms = entry.arrivedMs;
        command.wall = entry.arrivedWall;
        command.connection = entry.connection;
        command.request = request.name;
        command.pump = pump;
        command.pumpText = pm.value_or(QString());
        QString badKey;
        if (pump != 0) {
            command.before = FModel.status(pump);
            if (request.name == u"REQ_AUTHORIZE") {
                command.rc = FModel.authorize(pump);
            } else if (request.name == u"REQ_STOP") {
                command.rc = FModel.stop(pump);
            } else if (request.name == u"REQ_RESUME") {
                command.rc = FModel.resume(pump);
            } else {
                command.rc = FModel.changePrices(pump, request.params, &badKey);
            }
            command.after = FModel.status(pump);
        } else {
            command.rc = u"ERR_PUMP"_s;
        }
        for (RecordSink* sink : std::as_const(FSinks)) {
            sink->onCommand(command);
        }
        if (command.rc == u"ERR_PUMP") {
            return fail(command.rc, u"surtidor invalido: "_s + command.pumpText);
        }
        if (command.rc == u"ERR_PRICE") {
            return fail(command.rc, u"precio invalido en "_s + badKey);
        }
        if (command.rc != u"OK") {
            return fail(command.rc, u"el surtidor esta en "_s + command.before);
        }
        r.rc = command.rc;
        r.fields = {{u"RC"_s, r.rc}, {u"PM"_s, command.pumpText}};
        return r;
    }

    if (pump == 0) {
        return fail(u"ERR_PUMP"_s, u"surtidor invalido: "_s + pm.value_or(QString()));
    }
    r.rc = u"OK"_s;
    if (requestClass == RequestClass::Status) {
        const std::optional<QString> scripted =
            FScripts ? FScripts->nextStatus(pump) : std::nullopt;
        r.status = scripted ? *scripted : FModel.status(pump);
        r.fields = {{u"RC"_s, r.rc}, {u"PM"_s, *pm}, {u"PS"_s, r.status}};
        return r;
    }

    // Sales: the pump's last sale, or every field empty but PM while it has none.
    std::optional<Sale> sale = FScripts ? FScripts->nextSale(pump) : std::nullopt;
    if (!sale) {
        sale = FModel.lastSale(pump);
    }
    Sale shown;
    if (sale) {
        shown = *sale;
        if (const quint64 pick = FFaults.accents(shown)) {
            shown = withAccents(shown, pick);
            r.accented = true;
        }
    } else {
        shown.pm = QString::number(pump);
    }
    r.fields = {{u"RC"_s, r.rc}};
    r.fields.append(shown.fields(stiFirst));
    if (sale && !sale->ti1.isEmpty()) {
        r.sale = shown;
    }
    return r;
}

QByteArray Engine::layOut(const QString& name, Fields fields)
{
    switch (FConfig.form.order) {
    case FieldOrder::Listed:
        break;
    case FieldOrder::Reversed:
        std::reverse(fields.begin(), fields.end());
        break;
    case FieldOrder::Shuffled:
        std::shuffle(fields.begin(), fields.end(), FOrderRng);
        break;
    }
    return FrameReply(BuildReplyBody(name, fields, FConfig.form.caret), FConfig.form.length);
}

void Engine::runQueue(Connection* c)
{
    while (!c->gone && !c->queue.empty()) {
        if (c->timer->isActive()) {
            return;
        }
        Connection::Step& head = c->queue.front();
        if (head.step.waitMs > 0 && !head.waited) {
            head.waited = true;
            c->timer->start(head.step.waitMs);
            return;
        }
        const Connection::Step step = head;
        c->queue.pop_front();
        switch (step.step.kind) {
        case ReplyStep::Kind::Write:
            if (step.entry->firstByteMs < 0) {
                step.entry->firstByteMs = elapsedMs();
            }
            c->socket->write(step.step.bytes);
            if (step.last) {
                c->flushing.append(step.entry);
            }
            c->socket->flush();
            onBytesWritten(c);
            break;
        case ReplyStep::Kind::Close:
            finish(step.entry, Outcome::Closed);
            closeConnection(c, u"close"_s, false);
            return;
        case ReplyStep::Kind::Reset:
            finish(step.entry, Outcome::Reset);
            closeConnection(c, u"reset"_s, true);
            return;
        }
    }
}

void Engine::onBytesWritten(Connection* c)
{
    if (c->gone || c->socket->bytesToWrite() > 0) {
        return;
    }
    const auto done = std::exchange(c->flushing, {});
    for (const auto& entry : done) {
        finish(entry, Outcome::Replied);
    }
}

void Engine::finish(const std::shared_ptr<ExchangeEntry>& entry, Outcome outcome)
{
    if (entry->outcome != Outcome::Pending) {
        return;
    }
    entry->outcome = outcome;
    entry->finishedMs = elapsedMs();
    for (RecordSink* sink : std::as_const(FSinks)) {
        sink->onExchange(*entry);
    }
}

void Engine::closeConnection(Connection* c, const QString& reason, bool reset)
{
    if (c->gone) {
        return;
    }
    c->closeReason = reason;
    if (reset) {
        setAbortiveClose(c->socket);
        c->socket->abort();
    } else if (reason == u"close" || reason == u"protocol_error") {
        c->socket->disconnectFromHost(); // what was written still goes out first
    } else {
        c->socket->abort();
    }
    // abort() reports the disconnection at once; an orderly close may come later.
    if (c->socket->state() == QAbstractSocket::UnconnectedState) {
        markGone(c);
    }
}

void Engine::onDisconnected(Connection* c)
{
    markGone(c);
}

void Engine::markGone(Connection* c)
{
    if (c->gone) {
        return;
    }
    // What was written may have left when the peer closed after reading it.
    if (c->socket->bytesToWrite() == 0) {
        onBytesWritten(c);
    }
    c->gone = true;
    c->timer->stop();
    // Nothing of this connection may reach the engine any more: its entry
    // stays in the map until the event loop comes back.
    QObject::disconnect(c->socket, nullptr, this, nullptr);
    QObject::disconnect(c->timer, nullptr, this, nullptr);
    for (const auto& entry : std::exchange(c->flushing, {})) {
        finish(entry, Outcome::Dropped);
    }
    while (!c->queue.empty()) {
        finish(c->queue.front().entry, Outcome::Dropped);
        c->queue.pop_front();
    }
    server(u"disconnect"_s, c->id, c->closeReason.isEmpty() ? u"peer"_s : c->closeReason);
    const qint64 id = c->id;
    c->socket->deleteLater();
    // Removed later: this may run inside one of the connection's own handlers.
    QMetaObject::invokeMethod(
        this, [this, id] { FConnections.erase(id); }, Qt::QueuedConnection);
}

} // namespace veltrane::sim
