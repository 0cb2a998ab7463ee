#include "sim/reply_plan.h"

#include "sim/protocol.h"

#include <algorithm>

namespace veltrane::sim {

ReplyAction ReplyAction::silence()
{
    ReplyAction a;
    a.kind = Kind::Silence;
    return a;
}

ReplyAction ReplyAction::close(int delayMs)
{
    ReplyAction a;
    a.kind = Kind::Close;
    a.delayMs = delayMs;
    return a;
}

ReplyAction ReplyAction::reset(int delayMs)
{
    ReplyAction a;
    a.kind = Kind::Reset;
    a.delayMs = delayMs;
    return a;
}

ReplyAction ReplyAction::delayed(int delayMs)
{
    ReplyAction a;
    a.delayMs = delayMs;
    return a;
}

ReplyAction ReplyAction::split(int pieces, int pauseMs)
{
    ReplyAction a;
    a.pieces = pieces;
    a.pauseMs = pauseMs;
    return a;
}

ReplyAction ReplyAction::raw(QByteArray bytes)
{
    ReplyAction a;
    a.bytes = std::move(bytes);
    return a;
}

ReplyAction ReplyAction::body(const QByteArray& body)
{
    return raw(FrameReply(body));
}

ReplyAction ReplyAction::rawThenClose(QByteArray bytes)
{
    ReplyAction a = raw(std::move(bytes));
    a.closeAfter = true;
    return a;
}

QList<ReplyStep> PlanSteps(const ReplyAction& action, const QByteArray& reply)
{
    QList<ReplyStep> steps;
    switch (action.kind) {
    case ReplyAction::Kind::Silence:
        return steps;
    case ReplyAction::Kind::Close:
        steps.append({ReplyStep::Kind::Close, action.delayMs, {}});
        return steps;
    case ReplyAction::Kind::Reset:
        steps.append({ReplyStep::Kind::Reset, action.delayMs, {}});
        return steps;
    case ReplyAction::Kind::Reply:
        break;
    }
    const QByteArray& bytes = action.bytes ? *action.bytes : reply;
    QList<qsizetype> cuts = action.cuts;
    if (cuts.isEmpty() && action.pieces > 1) {
        for (int i = 1; i < action.pieces; ++i) {
            cuts.append(bytes.size() * i / action.pieces);
        }
    }
    std::sort(cuts.begin(), cuts.end());
    qsizetype from = 0;
    int wait = action.delayMs;
    for (const qsizetype cut : cuts) {
        if (cut <= from || cut >= bytes.size()) {
            continue; // empty pieces are not written
        }
        steps.append({ReplyStep::Kind::Write, wait, bytes.sliced(from, cut - from)});
        from = cut;
        wait = action.pauseMs;
    }
    steps.append({ReplyStep::Kind::Write, wait, bytes.sliced(from)});
    if (action.twice) {
        steps.append({ReplyStep::Kind::Write, 0, bytes});
    }
    if (action.closeAfter) {
        steps.append({ReplyStep::Kind::Close, 0, {}});
    }
    return steps;
}

} // namespace veltrane::sim
