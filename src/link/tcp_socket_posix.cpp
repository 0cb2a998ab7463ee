// The POSIX socket calls under the flow of tcp_socket.cpp.
#include "link/tcp_socket_os.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace veltrane::link::os {

namespace {

// clang-format off
constexpr ErrorMeaning kErrors[] = {
    {EINTR,        Cause::Interrupted},
    {EAGAIN,       Cause::WouldBlock},
    {EWOULDBLOCK,  Cause::WouldBlock},
    {ECONNREFUSED, Cause::Refused},
    {ENETUNREACH,  Cause::Unreachable},
    {EHOSTUNREACH, Cause::Unreachable},
    {ENETDOWN,     Cause::Unreachable},
#ifdef EHOSTDOWN
    {EHOSTDOWN,    Cause::Unreachable},
#endif
    {ETIMEDOUT,    Cause::TimedOut},
    {ECONNRESET,   Cause::Reset},
    {ECONNABORTED, Cause::Aborted},
    {EPIPE,        Cause::PeerShutdown},
};
// clang-format on

int fd(Handle socket)
{
    return static_cast<int>(socket);
}

} // namespace

std::span<const ErrorMeaning> ErrorTable()
{
    return kErrors;
}

long LastErrorCode()
{
    return errno;
}

long StartUp()
{
    return 0;
}

bool ParseIpv4(const std::string& host, std::uint32_t& address)
{
    in_addr parsed{};
    const bool valid = ::inet_pton(AF_INET, host.c_str(), &parsed) == 1;
    address = parsed.s_addr;
    return valid;
}

Handle OpenStream()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    return s < 0 ? kNoHandle : Handle{s};
}

bool Prepare(Handle socket)
{
    const int flags = ::fcntl(fd(socket), F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd(socket), F_SETFL, flags | O_NONBLOCK) < 0 ||
        ::fcntl(fd(socket), F_SETFD, FD_CLOEXEC) < 0) {
        return false;
    }
#ifdef SO_NOSIGPIPE
    const int one = 1;
    ::setsockopt(fd(socket), SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    return true;
}

ConnectStart StartConnect(Handle socket, std::uint32_t address, std::uint16_t port)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = address;
    if (::connect(fd(socket), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) {
        return ConnectStart::Connected;
    }
    // EINTR: the attempt goes on in the background, as with EINPROGRESS.
    return errno == EINPROGRESS || errno == EINTR ? ConnectStart::Pending : ConnectStart::Failed;
}

int PollConnect(Handle socket, int ms)
{
    // Writable, or in error: PendingError tells which.
    const int n = Poll(socket, Direction::Write, ms);
    return n > 0 ? kConnectDone : n;
}

long PendingError(Handle socket)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd(socket), SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
        err = errno;
    }
    return err;
}

void SetNoDelay(Handle socket)
{
    const int noDelay = 1;
    ::setsockopt(fd(socket), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
}

int Poll(Handle socket, Direction direction, int ms)
{
    // POLLHUP and POLLERR come back whether asked for or not.
    pollfd p{fd(socket), direction == Direction::Read ? short{POLLIN} : short{POLLOUT}, 0};
    const int n = ::poll(&p, 1, ms < 0 ? -1 : ms);
    return n > 0 ? 1 : n;
}

long long Receive(Handle socket, char* buffer, std::size_t size)
{
    return ::recv(fd(socket), buffer, size, MSG_DONTWAIT);
}

long long Send(Handle socket, const char* data, std::size_t size)
{
#ifdef MSG_NOSIGNAL
    constexpr int kFlags = MSG_NOSIGNAL;
#else
    constexpr int kFlags = 0; // SO_NOSIGPIPE was set by Prepare
#endif
    return ::send(fd(socket), data, size, kFlags);
}

void Close(Handle socket) noexcept
{
    // On Linux the descriptor is gone even when close() reports EINTR.
    ::close(fd(socket));
}

} // namespace veltrane::link::os
