#include "link/tcp_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace veltrane::link {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// One pass of ReceiveAvailable takes at most this much, so that a peer that
// never stops sending cannot hold the caller forever.
constexpr std::size_t kChunk = std::size_t{64} * 1024;
constexpr int kMaxChunksPerPass = 64;

// Milliseconds left until deadline for poll(), rounded up so that a wait
// never ends a fraction of a millisecond early and spins.
int PollTimeout(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
        return 0;
    }
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// Waits for events on fd. Returns the revents, 0 on time-out, -1 on failure
// (errno kept). With unlimited set the time-out is not used.
int PollFor(int fd, short events, milliseconds timeout, bool unlimited)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, unlimited ? -1 : PollTimeout(deadline));
        if (n > 0) {
            return p.revents;
        }
        if (n == 0) {
            if (unlimited || Clock::now() >= deadline) {
                return 0;
            }
            continue;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

void CloseFd(int fd)
{
    // On Linux the descriptor is gone even when close() reports EINTR.
    ::close(fd);
}

SocketError ConnectError(int err, const std::string& address, milliseconds timeout)
{
    namespace m = socket_messages;
    switch (err) {
    case ECONNREFUSED:
        return {SocketErrorKind::Refused, m::Refused(address)};
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
#ifdef EHOSTDOWN
    case EHOSTDOWN:
#endif
        return {SocketErrorKind::Unreachable, m::Unreachable(address)};
    case ETIMEDOUT:
        return {SocketErrorKind::TimedOut, m::ConnectTimedOut(address, timeout)};
    case ECONNRESET:
        return {SocketErrorKind::ResetByPeer, m::ResetByPeer(address)};
    default:
        return {SocketErrorKind::Other, m::Other(address, "al conectar", err)};
    }
}

// A failed receive or send on an established connection.
SocketError TransferError(int err, const std::string& address, const char* doing)
{
    namespace m = socket_messages;
    switch (err) {
    case EPIPE:
        return {SocketErrorKind::ClosedByPeer, m::ClosedByPeer(address)};
    case ECONNRESET:
    case ECONNABORTED:
        return {SocketErrorKind::ResetByPeer, m::ResetByPeer(address)};
    default:
        return {SocketErrorKind::Other, m::Other(address, doing, err)};
    }
}

} // namespace

struct TcpSocket::Impl
{
    int fd = -1;
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
    return FImpl->fd >= 0;
}

void TcpSocket::Connect(const std::string& host, std::uint16_t port, milliseconds timeout)
{
    namespace m = socket_messages;
    if (IsOpen()) {
        throw SocketError(SocketErrorKind::AlreadyConnected, m::AlreadyConnected(FAddress));
    }
    if (host.empty()) {
        throw SocketError(SocketErrorKind::HostNotSet, m::HostNotSet());
    }
    FAddress = FormatAddress(host, port);

    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &peer.sin_addr) != 1) {
        throw SocketError(SocketErrorKind::InvalidAddress, m::InvalidAddress(host));
    }

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        throw SocketError(SocketErrorKind::Other, m::Other(FAddress, "al crear el socket", errno));
    }
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 ||
        ::fcntl(fd, F_SETFD, FD_CLOEXEC) < 0) {
        const int err = errno;
        CloseFd(fd);
        throw SocketError(SocketErrorKind::Other, m::Other(FAddress, "al preparar el socket", err));
    }
#ifdef SO_NOSIGPIPE
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif

    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        // EINTR: the attempt goes on in the background, as with EINPROGRESS.
        if (errno != EINPROGRESS && errno != EINTR) {
            const int err = errno;
            CloseFd(fd);
            throw ConnectError(err, FAddress, timeout);
        }
        const int ready = PollFor(fd, POLLOUT, timeout, timeout.count() <= 0);
        if (ready < 0) {
            const int err = errno;
            CloseFd(fd);
            throw SocketError(SocketErrorKind::Other, m::Other(FAddress, "al conectar", err));
        }
        if (ready == 0) {
            // Abandon the attempt: closing drops the half-open connection.
            CloseFd(fd);
            throw SocketError(SocketErrorKind::TimedOut, m::ConnectTimedOut(FAddress, timeout));
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
            err = errno;
        }
        if (err != 0) {
            CloseFd(fd);
            throw ConnectError(err, FAddress, timeout);
        }
    }

    // Requests are small and answered one at a time: do not hold them back.
    const int noDelay = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);

    FImpl->fd = fd;
    FImpl->gone.reset();
}

bool TcpSocket::WaitReadable(milliseconds timeout)
{
    namespace m = socket_messages;
    if (!IsOpen()) {
        throw SocketError(SocketErrorKind::NotConnected, m::NotConnected(FAddress));
    }
    if (FImpl->gone) {
        return true;
    }
    // POLLHUP and POLLERR come back whether asked for or not: both count as
    // "something to read", which ReceiveAvailable then reports.
    const int ready = PollFor(FImpl->fd, POLLIN, timeout, false);
    if (ready < 0) {
        throw SocketError(SocketErrorKind::Other, m::Other(FAddress, "al esperar datos", errno));
    }
    return ready != 0;
}

std::optional<SocketError> TcpSocket::ReceiveAvailable(std::vector<char>& out)
{
    if (!IsOpen()) {
        return SocketError(SocketErrorKind::NotConnected, socket_messages::NotConnected(FAddress));
    }
    if (FImpl->gone) {
        return FImpl->gone;
    }
    for (int pass = 0; pass < kMaxChunksPerPass;) {
        const std::size_t had = out.size();
        out.resize(had + kChunk);
        const ssize_t n = ::recv(FImpl->fd, out.data() + had, kChunk, MSG_DONTWAIT);
        out.resize(had + (n > 0 ? static_cast<std::size_t>(n) : 0));
        if (n > 0) {
            ++pass;
            continue;
        }
        if (n == 0) {
            FImpl->gone =
                SocketError(SocketErrorKind::ClosedByPeer, socket_messages::ClosedByPeer(FAddress));
            return FImpl->gone;
        }
        const int err = errno;
        if (err == EINTR) {
            continue;
        }
        if (err == EAGAIN || err == EWOULDBLOCK) {
            return std::nullopt;
        }
        FImpl->gone = TransferError(err, FAddress, "al recibir");
        return FImpl->gone;
    }
    return std::nullopt;
}

void TcpSocket::SendAll(const char* data, std::size_t size, milliseconds stallTimeout)
{
    namespace m = socket_messages;
    if (!IsOpen()) {
        throw SocketError(SocketErrorKind::NotConnected, m::NotConnected(FAddress));
    }
    if (FImpl->gone) {
        throw *FImpl->gone;
    }
#ifdef MSG_NOSIGNAL
    constexpr int kFlags = MSG_NOSIGNAL;
#else
    constexpr int kFlags = 0; // SO_NOSIGPIPE was set at connect
#endif
    while (size > 0) {
        const ssize_t n = ::send(FImpl->fd, data, size, kFlags);
        if (n >= 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        const int err = errno;
        if (err == EINTR) {
            continue;
        }
        if (err != EAGAIN && err != EWOULDBLOCK) {
            throw TransferError(err, FAddress, "al enviar");
        }
        const int ready = PollFor(FImpl->fd, POLLOUT, stallTimeout, stallTimeout.count() <= 0);
        if (ready < 0) {
            throw SocketError(SocketErrorKind::Other, m::Other(FAddress, "al enviar", errno));
        }
        if (ready == 0) {
            throw SocketError(SocketErrorKind::TimedOut, m::SendTimedOut(FAddress, stallTimeout));
        }
        // Ready or in error: the next send() tells which.
    }
}

void TcpSocket::Close() noexcept
{
    if (FImpl->fd >= 0) {
        CloseFd(FImpl->fd);
        FImpl->fd = -1;
    }
    FImpl->gone.reset();
}

} // namespace veltrane::link
