#include "link/framed_reply.h"

namespace veltrane::link {
namespace {

constexpr qsizetype kMinDigits = 5;
constexpr qsizetype kMaxDigits = 15; // beyond any reply worth waiting for
constexpr char kSeparator[] = "|5|";
constexpr qsizetype kSeparatorSize = 3;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool endsWithCaret(QByteArrayView bytes)
{
    qsizetype end = bytes.size();
    while (end > 0 && (bytes[end - 1] == '\r' || bytes[end - 1] == '\n')) {
        --end;
    }
    return end > 0 && bytes[end - 1] == '^';
}

} // namespace

FrameCheck CheckFramedReply(QByteArrayView bytes)
{
    FrameCheck check;
    check.endsWithCaret = endsWithCaret(bytes);
    qsizetype digits = 0;
    while (digits < bytes.size() && isDigit(bytes[digits])) {
        ++digits;
    }
    if (digits == 0 || digits > kMaxDigits) {
        return check;
    }
    if (digits == bytes.size()) {
        // Only digits so far: the prefix itself is still arriving.
        check.state = FrameState::Incomplete;
        return check;
    }
    if (digits < kMinDigits) {
        return check;
    }
    const QByteArrayView rest = bytes.sliced(digits);
    const qsizetype compared = qMin(rest.size(), kSeparatorSize);
    if (rest.first(compared) != QByteArrayView(kSeparator, compared)) {
        return check;
    }
    check.announced = bytes.first(digits).toLongLong();
    if (rest.size() < kSeparatorSize) {
        check.state = FrameState::Incomplete;
        return check;
    }
    check.received = rest.size() - kSeparatorSize;
    check.state = check.received >= check.announced ? FrameState::Complete : FrameState::Incomplete;
    return check;
}

qsizetype FrameStart(QByteArrayView bytes)
{
    if (CheckFramedReply(bytes).state != FrameState::NotFramed) {
        return 0;
    }
    // A frame starts with a whole run of digits (at least five) and "|5|".
    qsizetype from = 0;
    for (;;) {
        const qsizetype bar = bytes.indexOf(QByteArrayView(kSeparator, kSeparatorSize), from);
        if (bar < 0) {
            return 0;
        }
        qsizetype begin = bar;
        while (begin > 0 && isDigit(bytes[begin - 1])) {
            --begin;
        }
        if (bar - begin >= kMinDigits && bar - begin <= kMaxDigits) {
            return begin;
        }
        from = bar + 1;
    }
}

ReplyFrame CheckReply(QByteArrayView bytes)
{
    ReplyFrame frame;
    frame.start = FrameStart(bytes);
    frame.check = CheckFramedReply(bytes.sliced(frame.start));
    return frame;
}

} // namespace veltrane::link
