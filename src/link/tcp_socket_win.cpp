#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0601
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0601 // WSAPoll and inet_pton need Vista or later
#endif

#include "link/tcp_socket.h"

#include <climits>
#include <winsock2.h>
#include <ws2tcpip.h>

#ifdef _MSC_VER
#pragma comment(lib, "ws2_32.lib")
#endif

namespace veltrane::link {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// One pass of ReceiveAvailable takes at most this much, so that a peer that
// never stops sending cannot hold the caller forever.
constexpr int kChunk = 64 * 1024;
constexpr int kMaxChunksPerPass = 64;

// Winsock is started once for the whole process and left running until it
// ends; the result is kept so that every connect can report a failure.
int WinsockStartResult()
{
    static const int result = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }();
    return result;
}

// Milliseconds left until deadline, rounded up so that a wait never ends a
// fraction of a millisecond early and spins.
long long MillisecondsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : left;
}

int ToPollTimeout(long long ms)
{
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// WSAPoll on an established socket. Returns the revents, 0 on time-out,
// SOCKET_ERROR on failure (WSAGetLastError kept). With unlimited set the
// time-out is not used.
int PollFor(SOCKET s, short events, milliseconds timeout, bool unlimited)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        WSAPOLLFD p{};
        p.fd = s;
        p.events = events;
        const int n = ::WSAPoll(&p, 1, unlimited ? -1 : ToPollTimeout(MillisecondsLeft(deadline)));
        if (n > 0) {
            return p.revents;
        }
        if (n == SOCKET_ERROR) {
            return SOCKET_ERROR;
        }
        if (unlimited || Clock::now() >= deadline) {
            return 0;
        }
    }
}

// Waits for a pending connect with select(): WSAPoll on older Windows
// versions never reports a connect that failed, so a refused connection
// would look like a time-out. Returns 1 when writable (connected), 2 when
// the attempt failed, 0 on time-out, SOCKET_ERROR on failure.
int WaitConnected(SOCKET s, milliseconds timeout, bool unlimited)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval tv{};
        timeval* limit = nullptr;
        if (!unlimited) {
            const long long left = MillisecondsLeft(deadline);
            tv.tv_sec = static_cast<long>(left / 1000);
            tv.tv_usec = static_cast<long>((left % 1000) * 1000);
            limit = &tv;
        }
        // The first argument is ignored by Winsock.
        const int n = ::select(0, nullptr, &writable, &failed, limit);
        if (n == SOCKET_ERROR) {
            return SOCKET_ERROR;
        }
        if (n > 0) {
            return FD_ISSET(s, &failed) ? 2 : 1;
        }
        if (unlimited || Clock::now() >= deadline) {
            return 0;
        }
    }
}

SocketError ConnectError(int err, const std::string& address, milliseconds timeout)
{
    namespace m = socket_messages;
    switch (err) {
    case WSAECONNREFUSED:
        return {SocketErrorKind::Refused, m::Refused(address)};
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAENETDOWN:
    case WSAEHOSTDOWN:
        return {SocketErrorKind::Unreachable, m::Unreachable(address)};
    case WSAETIMEDOUT:
        return {SocketErrorKind::TimedOut, m::ConnectTimedOut(address, timeout)};
    case WSAECONNRESET:
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
    case WSAESHUTDOWN:
        return {SocketErrorKind::ClosedByPeer, m::ClosedByPeer(address)};
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENETRESET:
        return {SocketErrorKind::ResetByPeer, m::ResetByPeer(address)};
    default:
        return {SocketErrorKind::Other, m::Other(address, doing, err)};
    }
}

} // namespace

struct TcpSocket::Impl
{
    SOCKET s = INVALID_SOCKET;
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
    return FImpl->s != INVALID_SOCKET;
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
    if (const int started = WinsockStartResult(); started != 0) {
        throw SocketError(SocketErrorKind::Other,
                          m::Other(FAddress, "al iniciar Winsock", started));
    }

    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = ::htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &peer.sin_addr) != 1) {
        throw SocketError(SocketErrorKind::InvalidAddress, m::InvalidAddress(host));
    }

    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        throw SocketError(SocketErrorKind::Other,
                          m::Other(FAddress, "al crear el socket", ::WSAGetLastError()));
    }
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        const int err = ::WSAGetLastError();
        ::closesocket(s);
        throw SocketError(SocketErrorKind::Other, m::Other(FAddress, "al preparar el socket", err));
    }

    if (::connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == SOCKET_ERROR) {
        const int started = ::WSAGetLastError();
        if (started != WSAEWOULDBLOCK) {
            ::closesocket(s);
            throw ConnectError(started, FAddress, timeout);
        }
        const int ready = WaitConnected(s, timeout, timeout.count() <= 0);
        if (ready == SOCKET_ERROR) {
            const int err = ::WSAGetLastError();
            ::closesocket(s);
            throw SocketError(SocketErrorKind::Other, m::Other(FAddress, "al conectar", err));
        }
        if (ready == 0) {
            // Abandon the attempt: closing drops the half-open connection.
            ::closesocket(s);
            throw SocketError(SocketErrorKind::TimedOut, m::ConnectTimedOut(FAddress, timeout));
        }
        int err = 0;
        int len = sizeof err;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) {
            err = ::WSAGetLastError();
        }
        if (err == 0 && ready == 2) {
            err = WSAECONNREFUSED; // reported as failed without a reason
        }
        if (err != 0) {
            ::closesocket(s);
            throw ConnectError(err, FAddress, timeout);
        }
    }

    // Requests are small and answered one at a time: do not hold them back.
    const BOOL noDelay = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                 sizeof noDelay);

    FImpl->s = s;
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
    const int ready = PollFor(FImpl->s, POLLRDNORM, timeout, false);
    if (ready == SOCKET_ERROR) {
        throw SocketError(SocketErrorKind::Other,
                          m::Other(FAddress, "al esperar datos", ::WSAGetLastError()));
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
    for (int pass = 0; pass < kMaxChunksPerPass; ++pass) {
        const std::size_t had = out.size();
        out.resize(had + kChunk);
        const int n = ::recv(FImpl->s, out.data() + had, kChunk, 0);
        out.resize(had + (n > 0 ? static_cast<std::size_t>(n) : 0));
        if (n > 0) {
            continue;
        }
        if (n == 0) {
            FImpl->gone =
                SocketError(SocketErrorKind::ClosedByPeer, socket_messages::ClosedByPeer(FAddress));
            return FImpl->gone;
        }
        const int err = ::WSAGetLastError();
        if (err == WSAEWOULDBLOCK) {
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
    // Winsock has no SIGPIPE to guard against.
    while (size > 0) {
        const int piece = size > INT_MAX ? INT_MAX : static_cast<int>(size);
        const int n = ::send(FImpl->s, data, piece, 0);
        if (n != SOCKET_ERROR) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        const int err = ::WSAGetLastError();
        if (err != WSAEWOULDBLOCK) {
            throw TransferError(err, FAddress, "al enviar");
        }
        const int ready = PollFor(FImpl->s, POLLWRNORM, stallTimeout, stallTimeout.count() <= 0);
        if (ready == SOCKET_ERROR) {
            throw SocketError(SocketErrorKind::Other,
                              m::Other(FAddress, "al enviar", ::WSAGetLastError()));
        }
        if (ready == 0) {
            throw SocketError(SocketErrorKind::TimedOut, m::SendTimedOut(FAddress, stallTimeout));
        }
        // Ready or in error: the next send() tells which.
    }
}

void TcpSocket::Close() noexcept
{
    if (FImpl->s != INVALID_SOCKET) {
        ::closesocket(FImpl->s);
        FImpl->s = INVALID_SOCKET;
    }
    FImpl->gone.reset();
}

} // namespace veltrane::link
