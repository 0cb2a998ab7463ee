#include "sim/protocol.h"

using namespace Qt::StringLiterals;

namespace veltrane::sim {
namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

const QStringList& knownRequests()
{
    static const QStringList names = {u"REQ_PUMP_STATUS"_s, u"REQ_GET_PUMP_SALES"_s,
                                      u"REQ_AUTHORIZE"_s,   u"REQ_STOP"_s,
                                      u"REQ_RESUME"_s,      u"REQ_PRICE_CHANGE"_s};
    return names;
}

} // namespace

FrameReader::Result FrameReader::next(QByteArray* body, QString* error)
{
    if (FBroken) {
        *error = u"flujo inutilizable tras un error de trama"_s;
        return Result::Error;
    }
    qsizetype digits = 0;
    while (digits < FBuffer.size() && isDigit(FBuffer.at(digits))) {
        ++digits;
    }
    auto fail = [&](QString why) {
        FBroken = true;
        *error = std::move(why);
        return Result::Error;
    };
    if (digits > kMaxDigits) {
        return fail(u"longitud de mas de %1 cifras"_s.arg(kMaxDigits));
    }
    if (digits == FBuffer.size()) {
        return Result::NeedMore;
    }
    if (FBuffer.at(digits) != '|') {
        return fail(u"caracter inesperado en la longitud"_s);
    }
    if (digits < 5) {
        return fail(u"longitud de menos de 5 cifras"_s);
    }
    // "|5|" is checked byte by byte as it arrives, so a wrong header is found
    // without waiting for more data.
    static constexpr char kSeparator[] = "|5|";
    for (qsizetype i = 1; i < 3; ++i) {
        if (digits + i >= FBuffer.size()) {
            return Result::NeedMore;
        }
        if (FBuffer.at(digits + i) != kSeparator[i]) {
            return fail(u"falta \"|5|\" tras la longitud"_s);
        }
    }
    const qsizetype length = FBuffer.first(digits).toLongLong();
    if (length > kMaxBody) {
        return fail(u"cuerpo de %1 bytes, mas que el maximo %2"_s.arg(length).arg(kMaxBody));
    }
    const qsizetype start = digits + 3;
    if (FBuffer.size() - start < length) {
        return Result::NeedMore;
    }
    *body = FBuffer.sliced(start, length);
    FBuffer.remove(0, start + length);
    return Result::Frame;
}

std::optional<QString> Request::param(QStringView key) const
{
    for (const auto& [k, v] : params) {
        if (k == key) {
            return v;
        }
    }
    return std::nullopt;
}

RequestClass Request::requestClass() const
{
    if (!wellFormed) {
        return RequestClass::Other;
    }
    if (name == u"REQ_PUMP_STATUS") {
        return RequestClass::Status;
    }
    if (name == u"REQ_GET_PUMP_SALES") {
        return RequestClass::Sales;
    }
    if (knownRequests().contains(name)) {
        return RequestClass::Command;
    }
    return RequestClass::Other;
}

Request ParseRequest(QByteArrayView body)
{
    Request request;
    request.raw = body.toByteArray();
    const QString text = QString::fromLatin1(body);
    static const QString prefix = u"2||POST|"_s;
    static const QString suffix = u"||^"_s;
    if (!text.startsWith(prefix) || !text.endsWith(suffix) ||
        text.size() < prefix.size() + suffix.size()) {
        request.formatError = u"el cuerpo no empieza con \"2||POST|\" o no termina con \"||^\""_s;
        return request;
    }
    const QStringView middle =
        QStringView(text).sliced(prefix.size(), text.size() - prefix.size() - suffix.size());
    const qsizetype gap = middle.indexOf(u"|||");
    if (gap <= 0) {
        request.formatError = u"falta el nombre de la solicitud o \"|||\" tras el"_s;
        return request;
    }
    request.name = middle.first(gap).toString();
    const QStringView parameters = middle.sliced(gap + 3);
    if (!parameters.isEmpty()) {
        for (const QStringView item : parameters.split(u'|')) {
            const qsizetype eq = item.indexOf(u'=');
            if (eq <= 0) {
                request.formatError = u"parametro sin la forma clave=valor: \"%1\""_s.arg(item);
                request.params.clear();
                return request;
            }
            request.params.append({item.first(eq).toString(), item.sliced(eq + 1).toString()});
        }
    }
    request.wellFormed = true;
    return request;
}

std::optional<int> ParsePumpNumber(QStringView text)
{
    if (text.isEmpty() || text.size() > 9) {
        return std::nullopt;
    }
    int value = 0;
    for (const QChar ch : text) {
        if (ch < u'0' || ch > u'9') {
            return std::nullopt;
        }
        value = value * 10 + (ch.unicode() - u'0');
    }
    if (value < 1 || value > 20) {
        return std::nullopt;
    }
    return value;
}

QByteArray BuildReplyBody(QStringView name, const Fields& fields, bool caret)
{
    QString text = u"2||POST|"_s + name + u"|||"_s;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            text += u'|';
        }
        text += fields[i].first + u'=' + fields[i].second;
    }
    text += caret ? u"||^"_s : u"||"_s;
    return text.toLatin1(); // above U+00FF: "?"
}

QByteArray FrameReply(QByteArrayView body, LengthCount length)
{
    if (length == LengthCount::None) {
        return body.toByteArray();
    }
    qsizetype count = body.size();
    if (length == LengthCount::Message) {
        // The count's own digits are part of what it counts.
        qsizetype digits = 5;
        while (QByteArray::number(body.size() + digits + 3).size() > digits) {
            ++digits;
        }
        count = body.size() + digits + 3;
    }
    QByteArray frame = QByteArray::number(count).rightJustified(5, '0');
    frame += "|5|";
    frame += body;
    return frame;
}

QString ReplyNameFor(QStringView requestName)
{
    if (knownRequests().contains(requestName)) {
        return u"RES_"_s + requestName.sliced(4);
    }
    return u"RES_ERROR"_s;
}

QString BytesAsText(QByteArrayView bytes)
{
    return QString::fromLatin1(bytes);
}

} // namespace veltrane::sim
