#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>
#include <utility>

namespace veltrane::sim {

// The controller's side of the wire: request frames "NNNNN|5|body" read from a
// byte stream, request bodies taken apart, reply bodies built and framed.
// The stand-in parses on its own rather than with the program's wire code, so
// a fault in one cannot hide the same fault in the other.

using Fields = QList<std::pair<QString, QString>>;

// Reads request frames from a byte stream that may deliver them split at any
// byte or several in one piece.
class FrameReader
{
public:
    static constexpr qsizetype kMaxDigits = 9;
    static constexpr qsizetype kMaxBody = qsizetype{4} * 1024 * 1024;

    enum class Result
    {
        NeedMore,
        Frame,
        Error
    };

    void append(QByteArrayView bytes) { FBuffer.append(bytes); }
    // Frame: *body holds the next body. Error: the stream cannot be read any
    // further (no way to find the next frame); *error says why.
    Result next(QByteArray* body, QString* error);
    qsizetype buffered() const { return FBuffer.size(); }

private:
    QByteArray FBuffer;
    bool FBroken = false;
};

enum class RequestClass
{
    Status = 1,
    Sales = 2,
    Command = 4,
    Other = 8
};

struct Request
{
    QByteArray raw;          // the body as received
    bool wellFormed = false; // "2||POST|NAME|||k=v|...||^"
    QString formatError;     // why not, when not
    QString name;            // REQ_PUMP_STATUS, ...
    Fields params;           // in order; a repeated key keeps every copy

    // The first value of key, or nullopt when the key is absent.
    std::optional<QString> param(QStringView key) const;
    RequestClass requestClass() const;
};

Request ParseRequest(QByteArrayView body);

// "7", "007", "0012" -> the pump; anything but 1..20 written in digits -> nullopt.
std::optional<int> ParsePumpNumber(QStringView text);

// What the protocol leaves to a controller in the layout of its replies, so
// that the stand-in can play controllers that differ there.
enum class LengthCount
{
    Body,    // the body's byte count, as the requests have it
    Message, // the whole message's: length digits, "|5|" and body
    None,    // no length prefix: the reply is the body alone
};
enum class FieldOrder
{
    Listed,   // as the reply's fields are listed
    Reversed, // every reply's fields in reverse order
    Shuffled, // every reply's fields in an order drawn from the seed
};
struct ReplyForm
{
    LengthCount length = LengthCount::Body;
    bool caret = true; // the body ends with "^"
    FieldOrder order = FieldOrder::Listed;
};

// "2||POST|" + name + "|||" + the fields as key=value joined by "|" + "||^"
// ("||" without caret). Characters up to U+00FF go out as that byte,
// anything else as "?".
QByteArray BuildReplyBody(QStringView name, const Fields& fields, bool caret = true);
// The length zero-padded to five digits, "|5|", the body; the length counts
// the body or the whole message. LengthCount::None: the body alone.
QByteArray FrameReply(QByteArrayView body, LengthCount length = LengthCount::Body);

// REQ_X -> RES_X for the known requests; RES_ERROR otherwise.
QString ReplyNameFor(QStringView requestName);

// The decoded text of bytes for the record: byte n becomes U+00nn, so the
// bytes can be recovered exactly.
QString BytesAsText(QByteArrayView bytes);

} // namespace veltrane::sim
