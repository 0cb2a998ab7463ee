#pragma once

#include "sim/faults.h"
#include "sim/pump_model.h"
#include "sim/record.h"
#include "sim/script.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>

#include <functional>
#include <map>
#include <memory>
#include <random>

class QTcpServer;
class QTimer;

namespace veltrane::sim {

struct EngineConfig
{
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 3011;      // 0: any free port (see Engine::port)
    quint64 seed = 1;         // pump model and fault draws
    double speed = 1.0;       // model time runs this many times faster than real time
    bool manualClock = false; // the model moves only through advanceModel
    ModelSettings model;      // its seed is taken from `seed`
    FaultSettings faults;
    ReplyForm form; // how every reply is laid out where the protocol leaves it open
};

// The stand-in controller: a TCP server that reads request frames, answers
// from the pump model (or a script), injects faults and records everything.
// Event driven; it lives on one thread and every call must come from it.
// Reply timings (delays, pauses) are real time and never sped up; only the
// pump model follows `speed`.
class Engine : public QObject
{
    Q_OBJECT

public:
    explicit Engine(EngineConfig config, QObject* parent = nullptr);
    ~Engine() override;

    // Starts listening. False, with *error set, when the address cannot be used.
    bool start(QString* error = nullptr);
    // Drops every connection, stops listening and records "stop" with reason.
    void stop(const QString& reason);
    bool isRunning() const { return FRunning; }
    // The port listened on; the chosen one when the config asked for port 0.
    quint16 port() const { return FPort; }
    const EngineConfig& config() const { return FConfig; }

    void addSink(RecordSink* sink);                           // not owned; called on this thread
    void setScriptBook(ScriptBook* book) { FScripts = book; } // not owned

    // Runs f on the model brought up to the current time; the model's timer
    // is re-armed afterwards (f may have changed what is due next).
    void withModel(const std::function<void(PumpModel&)>& f);
    const PumpModel& model() const { return FModel; }
    // Moves model time on by ms at once (the only way it moves with a
    // manual clock).
    void advanceModel(qint64 ms);
    qint64 modelNow() const;

    // Drops every open connection now, as a restart does.
    void dropConnections(const QString& reason);
    int connectionCount() const { return int(FConnections.size()); }
    qint64 elapsedMs() const;

private:
    struct Connection;
    struct Response
    {
        QString name;
        Fields fields;
        QString rc;
        QString status;
        std::optional<Sale> sale;
        bool accented = false; // the sale's text carries accented letters
    };

    void onNewConnection();
    void onReadyRead(Connection* c);
    void onBytesWritten(Connection* c);
    void onDisconnected(Connection* c);
    void handleFrame(Connection* c, const QByteArray& body);
    Response respond(const QString& name, RequestClass requestClass, const Request& request,
                     ExchangeEntry& entry, bool stiFirst);
    void protocolError(Connection* c, const QString& why);
    // A reply as this controller lays it out (config.form).
    QByteArray layOut(const QString& name, Fields fields);
    void runQueue(Connection* c);
    void finish(const std::shared_ptr<ExchangeEntry>& entry, Outcome outcome);
    void markGone(Connection* c);
    void closeConnection(Connection* c, const QString& reason, bool reset);

    void syncModel();
    void scheduleModel();
    void onModelEvent(const ModelEvent& event);

    bool listen(QString* error);
    void beginRefusal(int ms, const QString& why);
    void relisten();

    QDateTime wallAt(qint64 ms) const { return FStartWall.addMSecs(ms); }
    void server(const QString& event, qint64 connection = 0, const QString& detail = {},
                const QJsonObject& extra = {});

    EngineConfig FConfig;
    PumpModel FModel;
    FaultPlanner FFaults;
    std::mt19937_64 FOrderRng; // field orders, apart from the fault draws
    ScriptBook* FScripts = nullptr;
    QList<RecordSink*> FSinks;

    QTcpServer* FServer;
    QTimer* FModelTimer;
    QTimer* FRefuseTimer;
    QTimer* FRestartTimer;
    QTimer* FRelistenTimer;
    quint16 FPort = 0;
    bool FRunning = false;
    bool FRefusing = false;

    QElapsedTimer FClock;
    QDateTime FStartWall;
    qint64 FModelOffset = 0;
    qint64 FLastSyncMs = 0;

    qint64 FNextConnectionId = 1;
    qint64 FNextExchangeId = 1;
    std::map<qint64, std::unique_ptr<Connection>> FConnections;
};

} // namespace veltrane::sim
