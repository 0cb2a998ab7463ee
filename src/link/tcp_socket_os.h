#pragma once

// The thin per-system layer under TcpSocket: the system's socket calls, its
// waits and its error numbers, and nothing of the flow. tcp_socket.cpp holds
// the flow (connect with a deadline, partial sends, waits, what each error
// means) once for every system; tcp_socket_posix.cpp and tcp_socket_win.cpp
// implement this header. Free of system headers, like tcp_socket.h.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace veltrane::link::os {

// A socket of the system: a file descriptor, or a Winsock SOCKET.
using Handle = std::intptr_t;
inline constexpr Handle kNoHandle = -1;

// What a system error number means to the flow. A number that the system's
// table does not list is Other.
enum class Cause
{
    Other,
    Interrupted,  // the call was interrupted by a signal: try again
    WouldBlock,   // nothing to do without waiting
    Refused,      // nobody listens at the address
    Unreachable,  // no route to the network or the host
    TimedOut,     // the system gave up waiting
    Reset,        // the peer reset the connection
    Aborted,      // the connection was aborted on this side or by the network
    PeerShutdown, // the peer has closed: nothing more can be sent
};

struct ErrorMeaning
{
    long code;
    Cause cause;
};

// The system's table of the error numbers the flow tells apart.
std::span<const ErrorMeaning> ErrorTable();

// The error number of the last failed call on this thread.
long LastErrorCode();

// Starts the system's socket library, once per process; 0, or the error
// number of the start on every later call too. Only Winsock needs it.
long StartUp();

// A dotted IPv4 address in network byte order; false when host is none.
bool ParseIpv4(const std::string& host, std::uint32_t& address);

// A TCP socket over IPv4; kNoHandle on failure.
Handle OpenStream();

// Non-blocking, not inherited by child processes, and never raising SIGPIPE
// where the system could; false on failure.
bool Prepare(Handle socket);

enum class ConnectStart
{
    Connected,
    Pending, // goes on in the background: wait with PollConnect
    Failed,
};
ConnectStart StartConnect(Handle socket, std::uint32_t address, std::uint16_t port);

// One wait for a pending connect, at most ms (negative: no limit): 0 on
// time-out, -1 on failure, kConnectDone when the attempt has ended (connected
// or failed: PendingError tells), kConnectFailed when the system reported it
// failed without saying why.
inline constexpr int kConnectDone = 1;
inline constexpr int kConnectFailed = 2;
int PollConnect(Handle socket, int ms);

// The error a connect attempt ended with; 0 when connected.
long PendingError(Handle socket);

// Sends small requests at once (no Nagle delay). Failures are ignored.
void SetNoDelay(Handle socket);

enum class Direction
{
    Read, // data, a close by the peer or an error pending
    Write,
};
// One wait, at most ms (negative: no limit): 1 when ready, 0 on time-out,
// -1 on failure.
int Poll(Handle socket, Direction direction, int ms);

// Without waiting. Bytes received (> 0), 0 when the peer has closed, -1 on
// failure.
long long Receive(Handle socket, char* buffer, std::size_t size);

// Without waiting. Bytes sent (possibly fewer than size), -1 on failure.
long long Send(Handle socket, const char* data, std::size_t size);

void Close(Handle socket) noexcept;

} // namespace veltrane::link::os
