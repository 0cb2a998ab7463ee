#pragma once

#include <QByteArrayView>

namespace veltrane::monitor {

// The controller frames its replies like the requests: a decimal length of
// at least five digits, "|5|", then that many body bytes. Knowing that lets a
// reader tell a reply that is still arriving from one that is whole.
enum class FrameState
{
    NotFramed,  // does not begin with a length prefix: taken as it is
    Incomplete, // a prefix (or the start of one) whose body has not all arrived
    Complete,   // the announced body has arrived (more may follow)
};

struct FrameCheck
{
    FrameState state = FrameState::NotFramed;
    qint64 announced = -1; // body bytes announced, -1 while unknown
    qint64 received = 0;   // body bytes present
};

FrameCheck CheckFramedReply(QByteArrayView bytes);

// Where the first framed reply begins in bytes that do not begin with one:
// what stands before it is the tail of a reply that arrived after its wait
// and was read together with the next reply, and must not lend it fields.
// 0 when the bytes begin with a frame (or its start) or hold no frame.
qsizetype FrameStart(QByteArrayView bytes);

} // namespace veltrane::monitor
