#pragma once

#include <QByteArrayView>

namespace veltrane::link {

// How much of a reply has arrived. Controllers differ in how they lay out a
// reply: some frame it like the requests (a decimal length of at least five
// digits, "|5|", that many body bytes), some count the whole message or send
// no length at all, some leave out the body's closing "^". So a reply counts
// as whole by either of two tests: its announced body has arrived, or what
// arrived ends with "^" (line ends after it aside).
enum class FrameState
{
    NotFramed,  // does not begin with a length prefix
    Incomplete, // a prefix (or the start of one) whose body has not all arrived
    Complete,   // the announced body has arrived (more may follow)
};

struct FrameCheck
{
    FrameState state = FrameState::NotFramed;
    qint64 announced = -1;      // body bytes announced, -1 while unknown
    qint64 received = 0;        // body bytes present
    bool endsWithCaret = false; // the last byte but CR and LF is "^"

    bool whole() const { return state == FrameState::Complete || endsWithCaret; }
};

FrameCheck CheckFramedReply(QByteArrayView bytes);

// Where the first framed reply begins in bytes that do not begin with one:
// what stands before it may be the tail of a reply that arrived after its
// wait and was read together with the next reply. 0 when the bytes begin
// with a frame (or its start) or hold no frame.
qsizetype FrameStart(QByteArrayView bytes);

// What has arrived of a reply: the check of the part from its frame start.
struct ReplyFrame
{
    FrameCheck check;
    qsizetype start = 0; // FrameStart of the bytes checked
};

ReplyFrame CheckReply(QByteArrayView bytes);

} // namespace veltrane::link
