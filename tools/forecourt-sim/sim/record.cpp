#include "sim/record.h"

#include "sim/protocol.h"

#include <QJsonArray>
#include <QJsonDocument>

using namespace Qt::StringLiterals;

namespace veltrane::sim {

QString OutcomeText(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Pending:
        return u"pending"_s;
    case Outcome::Replied:
        return u"replied"_s;
    case Outcome::Silent:
        return u"silent"_s;
    case Outcome::Closed:
        return u"closed"_s;
    case Outcome::Reset:
        return u"reset"_s;
    case Outcome::Dropped:
        return u"dropped"_s;
    }
    return {};
}

QString IsoWall(const QDateTime& wall)
{
    // Local time with its UTC offset, to the millisecond.
    return wall.toOffsetFromUtc(wall.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QJsonObject ToJson(const Sale& sale)
{
    QJsonObject o;
    for (const auto& [key, value] : sale.fields()) {
        o.insert(key, value);
    }
    return o;
}

QJsonObject ToJson(const ExchangeEntry& e, bool arrivalOnly)
{
    QJsonObject o;
    o.insert(u"type"_s, arrivalOnly ? u"request"_s : u"exchange"_s);
    o.insert(u"t_ms"_s, e.arrivedMs);
    o.insert(u"wall"_s, IsoWall(e.arrivedWall));
    o.insert(u"id"_s, e.id);
    o.insert(u"conn"_s, e.connection);
    o.insert(u"name"_s, e.requestName);
    o.insert(u"pump"_s, e.pump);
    o.insert(u"pm"_s, e.pumpText);
    o.insert(u"request"_s, BytesAsText(e.request));
    if (arrivalOnly) {
        return o;
    }
    o.insert(u"outcome"_s, OutcomeText(e.outcome));
    o.insert(u"valid"_s, e.valid());
    o.insert(u"intact"_s, e.intact);
    o.insert(u"scripted"_s, e.scripted);
    o.insert(u"faults"_s, QJsonArray::fromStringList(e.faults));
    o.insert(u"first_ms"_s, e.firstByteMs);
    o.insert(u"done_ms"_s, e.finishedMs);
    o.insert(u"reply"_s, BytesAsText(e.reply));
    o.insert(u"rc"_s, e.rc);
    if (e.requestName == u"REQ_PUMP_STATUS" && e.rc == u"OK") {
        o.insert(u"status"_s, e.status);
    }
    if (e.sale) {
        o.insert(u"sale"_s, ToJson(*e.sale));
    }
    return o;
}

QJsonObject ToJson(const CommandEntry& e)
{
    QJsonObject o;
    o.insert(u"type"_s, u"command"_s);
    o.insert(u"t_ms"_s, e.ms);
    o.insert(u"wall"_s, IsoWall(e.wall));
    o.insert(u"conn"_s, e.connection);
    o.insert(u"name"_s, e.request);
    o.insert(u"pump"_s, e.pump);
    o.insert(u"pm"_s, e.pumpText);
    o.insert(u"rc"_s, e.rc);
    o.insert(u"before"_s, e.before);
    o.insert(u"after"_s, e.after);
    return o;
}

QJsonObject ToJson(const ModelEventEntry& e)
{
    QJsonObject o;
    const bool sale = e.event.kind == ModelEvent::Kind::SaleCompleted;
    o.insert(u"type"_s, sale ? u"sale"_s : u"status"_s);
    o.insert(u"t_ms"_s, e.ms);
    o.insert(u"wall"_s, IsoWall(e.wall));
    o.insert(u"model_ms"_s, e.event.modelMs);
    o.insert(u"pump"_s, e.event.pump);
    if (sale) {
        o.insert(u"sale"_s, ToJson(e.event.sale));
    } else {
        o.insert(u"from"_s, e.event.from);
        o.insert(u"to"_s, e.event.to);
        o.insert(u"cause"_s, e.event.cause);
    }
    return o;
}

QJsonObject ToJson(const ServerEntry& e)
{
    QJsonObject o = e.extra;
    o.insert(u"type"_s, e.event);
    o.insert(u"t_ms"_s, e.ms);
    o.insert(u"wall"_s, IsoWall(e.wall));
    if (e.connection != 0) {
        o.insert(u"conn"_s, e.connection);
    }
    if (!e.detail.isEmpty()) {
        o.insert(u"detail"_s, e.detail);
    }
    return o;
}

QString JsonLinesRecord::open(const QString& path)
{
    FFile.setFileName(path);
    // Unbuffered: every line reaches the operating system as it is written,
    // so a reader sees it at once and a kill loses nothing written.
    if (!FFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        return u"no se puede abrir el registro %1: %2"_s.arg(path, FFile.errorString());
    }
    return {};
}

void JsonLinesRecord::close()
{
    FFile.close();
}

void JsonLinesRecord::write(const QJsonObject& line)
{
    if (!FFile.isOpen()) {
        return;
    }
    QByteArray bytes = QJsonDocument(line).toJson(QJsonDocument::Compact);
    bytes += '\n';
    FFile.write(bytes);
}

void JsonLinesRecord::onRequest(const ExchangeEntry& entry)
{
    write(ToJson(entry, true));
}

void JsonLinesRecord::onExchange(const ExchangeEntry& entry)
{
    write(ToJson(entry));
}

void JsonLinesRecord::onCommand(const CommandEntry& entry)
{
    write(ToJson(entry));
}

void JsonLinesRecord::onModelEvent(const ModelEventEntry& entry)
{
    write(ToJson(entry));
}

void JsonLinesRecord::onServerEvent(const ServerEntry& entry)
{
    write(ToJson(entry));
}

} // namespace veltrane::sim
