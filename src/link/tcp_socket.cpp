// The socket flow, the same on every system: the connect with a deadline,
// partial sends, bounded waits and what each system error means. The system's
// own calls sit behind tcp_socket_os.h.
#include "link/tcp_socket.h"

#include "link/tcp_socket_os.h"

#include <climits>

namespace veltrane::link {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
namespace m = socket_messages;

// One pass of ReceiveAvailable takes at most this much, so that a peer that
// never stops sending cannot hold the caller forever.
constexpr std::size_t kChunk = std::size_t{64} * 1024;
constexpr int kMaxChunksPerPass = 64;

struct SystemError
{
    long code = 0;
    os::Cause cause = os::Cause::Other;
};

SystemError meaningOf(long code)
{
    for (const os::ErrorMeaning& row : os::ErrorTable()) {
        if (row.code == code) {
            return {code, row.cause};
        }
    }
    return {code, os::Cause::Other};
}

SystemError lastError()
{
    return meaningOf(os::LastErrorCode());
}

// Milliseconds left until deadline for one wait, rounded up so that a wait
// never ends a fraction of a millisecond early and spins.
int waitMs(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
        return 0;
    }
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// Runs one wait of the system (given the milliseconds it may take, -1 for no
// limit) until it is ready or the deadline has passed. Returns the wait's
// positive answer, 0 on time-out, -1 on failure (the error kept). With
// unlimited set the time-out is not used.
template <typename Wait> int waitUntilReady(Wait wait, milliseconds timeout, bool unlimited)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        const int n = wait(unlimited ? -1 : waitMs(deadline));
        if (n > 0) {
            return n;
        }
        if (n == 0) {
            if (unlimited || Clock::now() >= deadline) {
                return 0;
            }
            continue;
        }
        if (lastError().cause != os::Cause::Interrupted) {
            return -1;
        }
    }
}

SocketError connectError(const SystemError& error, const std::string& address, milliseconds timeout)
{
    switch (error.cause) {
    case os::Cause::Refused:
        return {SocketErrorKind::Refused, m::Refused(address)};
    case os::Cause::Unreachable:
        return {SocketErrorKind::Unreachable, m::Unreachable(address)};
    case os::Cause::TimedOut:
        return {SocketErrorKind::TimedOut, m::ConnectTimedOut(address, timeout)};
    case os::Cause::Reset:
        return {SocketErrorKind::ResetByPeer, m::ResetByPeer(address)};
    default:
        return {SocketErrorKind::Other, m::Other(address, "al conectar", error.code)};
    }
}

// A failed receive or send on an established connection.
SocketError transferError(const SystemError& error, const std::string& address, const char* doing)
{
    switch (error.cause) {
    case os::Cause::PeerShutdown:
        return {SocketErrorKind::ClosedByPeer, m::ClosedByPeer(address)};
    case os::Cause::Reset:
    case os::Cause::Aborted:
        return {SocketErrorKind::ResetByPeer, m::ResetByPeer(address)};
    default:
        return {SocketErrorKind::Other, m::Other(address, doing, error.code)};
    }
}

SocketError otherError(const std::string& address, const char* doing, long code)
{
    return {SocketErrorKind::Other, m::Other(address, doing, code)};
}

// Closes socket and throws error; the error is read before the close can
// change it.
[[noreturn]] void closeAndThrow(os::Handle socket, const SocketError& error)
{
    os::Close(socket);
    throw error;
}

} // namespace

struct TcpSocket::Impl
{
    os::Handle socket = os::kNoHandle;
    // Why the peer is gone, once noticed; sticks until Close.
    std::optional<SocketError> gone;
};

TcpSocket::TcpSocket() : FImpl(std::make_unique<Impl>())
{
}

TcpSocket::~TcpSocket()
{
    Close();
}

bool TcpSocket::IsOpen() const noexcept
{
    return FImpl->socket != os::kNoHandle;
}

void TcpSocket::Connect(const std::string& host, std::uint16_t port, milliseconds timeout)
{
    if (IsOpen()) {
        throw SocketError(SocketErrorKind::AlreadyConnected, m::AlreadyConnected(FAddress));
    }
    if (host.empty()) {
        throw SocketError(SocketErrorKind::HostNotSet, m::HostNotSet());
    }
    FAddress = FormatAddress(host, port);
    // Only Winsock has to be started; elsewhere this always succeeds.
    if (const long started = os::StartUp(); started != 0) {
        throw otherError(FAddress, "al iniciar Winsock", started);
    }

    std::uint32_t peer = 0;
    if (!os::ParseIpv4(host, peer)) {
        throw SocketError(SocketErrorKind::InvalidAddress, m::InvalidAddress(host));
    }

    const os::Handle socket = os::OpenStream();
    if (socket == os::kNoHandle) {
        throw otherError(FAddress, "al crear el socket", os::LastErrorCode());
    }
    if (!os::Prepare(socket)) {
        closeAndThrow(socket, otherError(FAddress, "al preparar el socket", os::LastErrorCode()));
    }

    switch (os::StartConnect(socket, peer, port)) {
    case os::ConnectStart::Connected:
        break;
    case os::ConnectStart::Failed:
        closeAndThrow(socket, connectError(lastError(), FAddress, timeout));
    case os::ConnectStart::Pending: {
        const int ready = waitUntilReady([socket](int ms) { return os::PollConnect(socket, ms); },
                                         timeout, timeout.count() <= 0);
        if (ready < 0) {
            closeAndThrow(socket, otherError(FAddress, "al conectar", os::LastErrorCode()));
        }
        if (ready == 0) {
            // Abandon the attempt: closing drops the half-open connection.
            closeAndThrow(socket, SocketError(SocketErrorKind::TimedOut,
                                              m::ConnectTimedOut(FAddress, timeout)));
        }
        const long pending = os::PendingError(socket);
        if (pending == 0 && ready == os::kConnectFailed) {
            // Reported as failed without a reason.
            closeAndThrow(socket, SocketError(SocketErrorKind::Refused, m::Refused(FAddress)));
        }
        if (pending != 0) {
            closeAndThrow(socket, connectError(meaningOf(pending), FAddress, timeout));
        }
        break;
    }
    }

    // Requests are small and answered one at a time: do not hold them back.
    os::SetNoDelay(socket);

    FImpl->socket = socket;
    FImpl->gone.reset();
}

bool TcpSocket::WaitReadable(milliseconds timeout)
{
    if (!IsOpen()) {
        throw SocketError(SocketErrorKind::NotConnected, m::NotConnected(FAddress));
    }
    if (FImpl->gone) {
        return true;
    }
    // A close by the peer and a pending error count as "something to read",
    // which ReceiveAvailable then reports.
    const os::Handle socket = FImpl->socket;
    const int ready = waitUntilReady(
        [socket](int ms) { return os::Poll(socket, os::Direction::Read, ms); }, timeout, false);
    if (ready < 0) {
        throw otherError(FAddress, "al esperar datos", os::LastErrorCode());
    }
    return ready != 0;
}

std::optional<SocketError> TcpSocket::ReceiveAvailable(std::vector<char>& out)
{
    if (!IsOpen()) {
        return SocketError(SocketErrorKind::NotConnected, m::NotConnected(FAddress));
    }
    if (FImpl->gone) {
        return FImpl->gone;
    }
    for (int pass = 0; pass < kMaxChunksPerPass;) {
        const std::size_t had = out.size();
        out.resize(had + kChunk);
        const long long n = os::Receive(FImpl->socket, out.data() + had, kChunk);
        out.resize(had + (n > 0 ? static_cast<std::size_t>(n) : 0));
        if (n > 0) {
            ++pass;
            continue;
        }
        if (n == 0) {
            FImpl->gone = SocketError(SocketErrorKind::ClosedByPeer, m::ClosedByPeer(FAddress));
            return FImpl->gone;
        }
        const SystemError error = lastError();
        if (error.cause == os::Cause::Interrupted) {
            continue;
        }
        if (error.cause == os::Cause::WouldBlock) {
            return std::nullopt;
        }
        FImpl->gone = transferError(error, FAddress, "al recibir");
        return FImpl->gone;
    }
    return std::nullopt;
}

void TcpSocket::SendAll(const char* data, std::size_t size, milliseconds stallTimeout)
{
    if (!IsOpen()) {
        throw SocketError(SocketErrorKind::NotConnected, m::NotConnected(FAddress));
    }
    if (FImpl->gone) {
        throw *FImpl->gone;
    }
    const os::Handle socket = FImpl->socket;
    while (size > 0) {
        const long long n = os::Send(socket, data, size);
        if (n >= 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        const SystemError error = lastError();
        if (error.cause == os::Cause::Interrupted) {
            continue;
        }
        if (error.cause != os::Cause::WouldBlock) {
            throw transferError(error, FAddress, "al enviar");
        }
        const int ready =
            waitUntilReady([socket](int ms) { return os::Poll(socket, os::Direction::Write, ms); },
                           stallTimeout, stallTimeout.count() <= 0);
        if (ready < 0) {
            throw otherError(FAddress, "al enviar", os::LastErrorCode());
        }
        if (ready == 0) {
            throw SocketError(SocketErrorKind::TimedOut, m::SendTimedOut(FAddress, stallTimeout));
        }
        // Ready or in error: the next send tells which.
    }
}

void TcpSocket::Close() noexcept
{
    if (FImpl->socket != os::kNoHandle) {
        os::Close(FImpl->socket);
        FImpl->socket = os::kNoHandle;
    }
    FImpl->gone.reset();
}

} // namespace veltrane::link
