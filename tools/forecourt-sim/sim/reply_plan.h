#pragma once

#include <QByteArray>
#include <QList>

#include <optional>

namespace veltrane::sim {

// How the stand-in answers one request: the normal reply, or a delay, a
// split into pieces, a copy, other bytes, silence, a close or a reset. Fault
// injection and test scripts both come down to one of these.
struct ReplyAction
{
    enum class Kind
    {
        Reply,   // send the reply (or `bytes`)
        Silence, // send nothing, keep the connection
        Close,   // close the connection (orderly FIN) instead of replying
        Reset    // abort the connection with a reset (RST) instead of replying
    };
    Kind kind = Kind::Reply;
    int delayMs = 0;                 // before the first byte (or the close/reset)
    int pieces = 1;                  // the reply goes out in this many writes...
    int pauseMs = 0;                 // ...with this pause before each further one
    QList<qsizetype> cuts;           // explicit cut offsets (else equal pieces)
    std::optional<QByteArray> bytes; // sent verbatim instead of the reply
    bool twice = false;              // the reply again right after it
    bool closeAfter = false;         // close the connection (FIN) once it is written

    static ReplyAction silence();
    static ReplyAction close(int delayMs = 0);
    static ReplyAction reset(int delayMs = 0);
    static ReplyAction delayed(int delayMs);
    static ReplyAction split(int pieces, int pauseMs);
    static ReplyAction raw(QByteArray bytes);
    // A body of the caller's, framed like every reply ("NNNNN|5|" + body).
    static ReplyAction body(const QByteArray& body);
    // Bytes sent verbatim, then the connection closed: a reply cut off.
    static ReplyAction rawThenClose(QByteArray bytes);
};

struct ReplyStep
{
    enum class Kind
    {
        Write,
        Close,
        Reset
    };
    Kind kind = Kind::Write;
    int waitMs = 0; // before this step, after the previous one
    QByteArray bytes;
};

// The steps that carry out an action for a reply; empty for silence.
QList<ReplyStep> PlanSteps(const ReplyAction& action, const QByteArray& reply);

} // namespace veltrane::sim
