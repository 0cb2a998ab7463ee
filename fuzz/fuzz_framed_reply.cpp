// The check that a reply has fully arrived, against its own rules: only
// "digits|5|body" with at least five digits can be complete by its length,
// and then the announced body has arrived; a reply is whole by its length or
// by a closing "^" (line ends after it aside).
#include "fuzz_support.h"
#include "link/framed_reply.h"

using veltrane::fuzzing::Bytes;
using veltrane::link::CheckFramedReply;
using veltrane::link::FrameState;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView bytes = Bytes(data, size);
    const auto check = CheckFramedReply(bytes);
    qsizetype digits = 0;
    while (digits < bytes.size() && bytes[digits] >= '0' && bytes[digits] <= '9') {
        ++digits;
    }
    switch (check.state) {
    case FrameState::Complete:
        FUZZ_CHECK(digits >= 5);
        FUZZ_CHECK(bytes.sliced(digits).startsWith("|5|"));
        FUZZ_CHECK(check.announced >= 0);
        FUZZ_CHECK(check.received == bytes.size() - digits - 3);
        FUZZ_CHECK(check.received >= check.announced);
        break;
    case FrameState::Incomplete:
        FUZZ_CHECK(digits >= 1);
        // The length is unknown, the separator has not all arrived, or the
        // body is short.
        FUZZ_CHECK(check.announced < 0 || bytes.size() < digits + 3 ||
                   check.received < check.announced);
        break;
    case FrameState::NotFramed:
        FUZZ_CHECK(check.announced == -1);
        break;
    }
    qsizetype end = bytes.size();
    while (end > 0 && (bytes[end - 1] == '\r' || bytes[end - 1] == '\n')) {
        --end;
    }
    FUZZ_CHECK(check.endsWithCaret == (end > 0 && bytes[end - 1] == '^'));
    FUZZ_CHECK(check.whole() == (check.state == FrameState::Complete || check.endsWithCaret));
    // A byte more never turns a complete reply into an incomplete one.
    if (check.state == FrameState::Complete) {
        QByteArray longer = bytes.toByteArray();
        longer.append('x');
        FUZZ_CHECK(CheckFramedReply(longer).state == FrameState::Complete);
    }
    // Where a frame starts after a stale tail: a whole run of five or more
    // digits and "|5|" at that place, and nothing framed before it.
    const qsizetype start = veltrane::link::FrameStart(bytes);
    FUZZ_CHECK(start >= 0 && start <= bytes.size());
    if (start > 0) {
        FUZZ_CHECK(check.state == FrameState::NotFramed);
        FUZZ_CHECK(bytes[start - 1] < '0' || bytes[start - 1] > '9');
        FUZZ_CHECK(CheckFramedReply(bytes.sliced(start)).state != FrameState::NotFramed);
        FUZZ_CHECK(bytes.sliced(start).indexOf("|5|") >= 5);
    }
    // The reply is judged from where its frame starts.
    const auto reply = veltrane::link::CheckReply(bytes);
    FUZZ_CHECK(reply.start == start);
    FUZZ_CHECK(reply.check.state == CheckFramedReply(bytes.sliced(start)).state);
    FUZZ_CHECK(reply.check.endsWithCaret == check.endsWithCaret); // the same last bytes
    return 0;
}
