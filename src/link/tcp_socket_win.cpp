// The Winsock calls under the flow of tcp_socket.cpp.
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

#include "link/tcp_socket_os.h"

#include <climits>
#include <winsock2.h>
#include <ws2tcpip.h>

#ifdef _MSC_VER
#pragma comment(lib, "ws2_32.lib")
#endif

namespace veltrane::link::os {

namespace {

// Winsock has no SIGPIPE; WSAEINTR only ends blocking calls, which these
// non-blocking sockets never make, so it stays Other.
// clang-format off
constexpr ErrorMeaning kErrors[] = {
    {WSAEWOULDBLOCK,  Cause::WouldBlock},
    {WSAECONNREFUSED, Cause::Refused},
    {WSAENETUNREACH,  Cause::Unreachable},
    {WSAEHOSTUNREACH, Cause::Unreachable},
    {WSAENETDOWN,     Cause::Unreachable},
    {WSAEHOSTDOWN,    Cause::Unreachable},
    {WSAETIMEDOUT,    Cause::TimedOut},
    {WSAECONNRESET,   Cause::Reset},
    {WSAECONNABORTED, Cause::Aborted},
    {WSAENETRESET,    Cause::Aborted},
    {WSAESHUTDOWN,    Cause::PeerShutdown},
};
// clang-format on

SOCKET native(Handle socket)
{
    return static_cast<SOCKET>(socket);
}

int clampedSize(std::size_t size)
{
    return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}

} // namespace

std::span<const ErrorMeaning> ErrorTable()
{
    return kErrors;
}

long LastErrorCode()
{
    return ::WSAGetLastError();
}

long StartUp()
{
    // Started once for the whole process and left running until it ends; the
    // result is kept so that every connect can report a failure.
    static const int result = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }();
    return result;
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
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? kNoHandle : static_cast<Handle>(s);
}

bool Prepare(Handle socket)
{
    u_long nonBlocking = 1;
    return ::ioctlsocket(native(socket), FIONBIO, &nonBlocking) == 0;
}

ConnectStart StartConnect(Handle socket, std::uint32_t address, std::uint16_t port)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = ::htons(port);
    peer.sin_addr.s_addr = address;
    if (::connect(native(socket), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) !=
        SOCKET_ERROR) {
        return ConnectStart::Connected;
    }
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? ConnectStart::Pending : ConnectStart::Failed;
}

int PollConnect(Handle socket, int ms)
{
    // select(), not WSAPoll: WSAPoll on older Windows versions never reports
    // a connect that failed, so a refused connection would look like a
    // time-out.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(native(socket), &writable);
    FD_SET(native(socket), &failed);
    timeval tv{};
    timeval* limit = nullptr;
    if (ms >= 0) {
        tv.tv_sec = static_cast<long>(ms / 1000);
        tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
        limit = &tv;
    }
    // The first argument is ignored by Winsock.
    const int n = ::select(0, nullptr, &writable, &failed, limit);
    if (n == SOCKET_ERROR) {
        return -1;
    }
    if (n == 0) {
        return 0;
    }
    return FD_ISSET(native(socket), &failed) ? kConnectFailed : kConnectDone;
}

long PendingError(Handle socket)
{
    int err = 0;
    int len = sizeof err;
    if (::getsockopt(native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) !=
        0) {
        err = ::WSAGetLastError();
    }
    return err;
}

void SetNoDelay(Handle socket)
{
    const BOOL noDelay = TRUE;
    ::setsockopt(native(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                 sizeof noDelay);
}

int Poll(Handle socket, Direction direction, int ms)
{
    // POLLHUP and POLLERR come back whether asked for or not.
    WSAPOLLFD p{};
    p.fd = native(socket);
    p.events = direction == Direction::Read ? POLLRDNORM : POLLWRNORM;
    const int n = ::WSAPoll(&p, 1, ms < 0 ? -1 : ms);
    if (n == SOCKET_ERROR) {
        return -1;
    }
    return n > 0 ? 1 : 0;
}

long long Receive(Handle socket, char* buffer, std::size_t size)
{
    const int n = ::recv(native(socket), buffer, clampedSize(size), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

long long Send(Handle socket, const char* data, std::size_t size)
{
    const int n = ::send(native(socket), data, clampedSize(size), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

void Close(Handle socket) noexcept
{
    ::closesocket(native(socket));
}

} // namespace veltrane::link::os
