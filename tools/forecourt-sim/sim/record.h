#pragma once

#include "sim/pump_model.h"

#include <QDateTime>
#include <QFile>
#include <QJsonObject>
#include <QStringList>

#include <optional>

namespace veltrane::sim {

// What the stand-in saw and did. Times are milliseconds since the engine
// started (`ms`) and the matching local wall-clock time.

enum class Outcome
{
    Pending, // not finished yet (only in RecordSink::onRequest)
    Replied, // every byte of the reply was handed to the operating system
    Silent,  // deliberately no reply
    Closed,  // the connection was closed instead of a reply
    Reset,   // the connection was reset instead of a reply
    Dropped  // the connection went away before the reply was out
};
QString OutcomeText(Outcome outcome);

struct ExchangeEntry
{
    qint64 id = 0;         // 1, 2, ... across the run
    qint64 connection = 0; // connection id, 1, 2, ...
    qint64 arrivedMs = 0;  // the request's last byte was read
    QDateTime arrivedWall;
    qint64 firstByteMs = -1;  // first reply byte written, -1 if none
    qint64 finishedMs = -1;   // reply out / closed / reset / dropped
    QByteArray request;       // body
    QString requestName;      // empty when the body was malformed
    int pump = 0;             // 1..20 when PM named a valid pump, else 0
    QString pumpText;         // PM as sent
    QByteArray reply;         // the bytes meant to go out once (frame, or other bytes)
    QString rc;               // reply code: OK, ERR_...
    QString status;           // status reply: the status served
    std::optional<Sale> sale; // sales reply: the sale served (none when TI1 empty)
    QStringList faults;       // faults applied (late, split, twice, garbage, ...)
    bool scripted = false;    // a test script chose the behaviour
    bool intact = true;       // the reply is the controller's own, unaltered
    Outcome outcome = Outcome::Pending;

    // A whole, unaltered reply reached the connection (possibly late, split or twice).
    bool valid() const { return outcome == Outcome::Replied && intact; }
};

struct CommandEntry
{
    qint64 ms = 0;
    QDateTime wall;
    qint64 connection = 0;
    QString request; // REQ_AUTHORIZE, REQ_STOP, REQ_RESUME, REQ_PRICE_CHANGE
    int pump = 0;    // 0 when PM was not a valid pump
    QString pumpText;
    QString rc;
    QString before, after; // pump status around the command
};

struct ModelEventEntry
{
    qint64 ms = 0; // when it happened on the engine's clock
    QDateTime wall;
    ModelEvent event;
};

struct ServerEntry
{
    qint64 ms = 0;
    QDateTime wall;
    // start, listen, connect, disconnect, protocol_error, refuse_start,
    // refuse_end, restart, stop
    QString event;
    qint64 connection = 0;
    QString detail;
    QJsonObject extra;
};

// Receives the record as it happens, on the engine's thread.
class RecordSink
{
public:
    virtual ~RecordSink() = default;
    virtual void onRequest(const ExchangeEntry& entry) = 0;  // on arrival, outcome Pending
    virtual void onExchange(const ExchangeEntry& entry) = 0; // when finished
    virtual void onCommand(const CommandEntry& entry) = 0;
    virtual void onModelEvent(const ModelEventEntry& entry) = 0;
    virtual void onServerEvent(const ServerEntry& entry) = 0;
};

QJsonObject ToJson(const Sale& sale);
QJsonObject ToJson(const ExchangeEntry& entry, bool arrivalOnly = false);
QJsonObject ToJson(const CommandEntry& entry);
QJsonObject ToJson(const ModelEventEntry& entry);
QJsonObject ToJson(const ServerEntry& entry);
QString IsoWall(const QDateTime& wall);

// The record as JSON lines in a file, each line written through at once.
class JsonLinesRecord : public RecordSink
{
public:
    // Empty message on success.
    QString open(const QString& path);
    void close();

    void onRequest(const ExchangeEntry& entry) override;
    void onExchange(const ExchangeEntry& entry) override;
    void onCommand(const CommandEntry& entry) override;
    void onModelEvent(const ModelEventEntry& entry) override;
    void onServerEvent(const ServerEntry& entry) override;

private:
    void write(const QJsonObject& line);

    QFile FFile;
};

} // namespace veltrane::sim
