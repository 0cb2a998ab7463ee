#pragma once

// A blocking-style TCP client socket over IPv4, kept free of Qt so that the
// Windows implementation can be compile-checked on its own. Every wait is
// bounded by the time-out it is given; nothing here runs an event loop.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace veltrane::link {

enum class SocketErrorKind
{
    HostNotSet,
    InvalidAddress,
    AlreadyConnected,
    NotConnected,
    Refused,
    TimedOut,
    Unreachable,
    ClosedByPeer, // the controller closed its side (orderly close)
    ResetByPeer,  // the connection was reset or aborted
    Other,        // any other network error
};

// what() is a Spanish UTF-8 message that names the address and what happened.
class SocketError : public std::runtime_error
{
public:
    SocketError(SocketErrorKind kind, const std::string& message)
        : std::runtime_error(message), FKind(kind)
    {
    }
    SocketErrorKind Kind() const noexcept { return FKind; }

private:
    SocketErrorKind FKind;
};

// "127.0.0.1:3011".
inline std::string FormatAddress(const std::string& host, std::uint16_t port)
{
    return host + ':' + std::to_string(port);
}

// The messages, shared by both implementations so that they read the same on
// every system. An empty address stands for a controller whose address is
// not known yet.
namespace socket_messages {
inline std::string Named(const std::string& address)
{
    return address.empty() ? std::string("el controlador") : address;
}
inline std::string HostNotSet()
{
    return "no se ha indicado la dirección del controlador";
}
inline std::string InvalidAddress(const std::string& host)
{
    return "dirección IPv4 no válida: \"" + host + '"';
}
inline std::string AlreadyConnected(const std::string& address)
{
    return "la conexión con " + Named(address) + " ya está abierta";
}
inline std::string NotConnected(const std::string& address)
{
    return "no hay conexión abierta con " + Named(address);
}
inline std::string Refused(const std::string& address)
{
    return "conexión rechazada por " + Named(address);
}
inline std::string ConnectTimedOut(const std::string& address, std::chrono::milliseconds timeout)
{
    return "tiempo de espera agotado: " + Named(address) + " no respondió en " +
           std::to_string(timeout.count()) + " ms";
}
inline std::string SendTimedOut(const std::string& address, std::chrono::milliseconds timeout)
{
    return "tiempo de espera agotado: " + Named(address) + " no aceptó datos en " +
           std::to_string(timeout.count()) + " ms";
}
inline std::string Unreachable(const std::string& address)
{
    return "no se puede alcanzar " + Named(address) + " (red o equipo inaccesible)";
}
inline std::string ClosedByPeer(const std::string& address)
{
    return "conexión cerrada por " + Named(address);
}
inline std::string ResetByPeer(const std::string& address)
{
    return "conexión interrumpida por " + Named(address);
}
// doing: what was going on, e.g. "al conectar"; code: the system's error number.
inline std::string Other(const std::string& address, const std::string& doing, long code)
{
    return "error de red con " + Named(address) + ' ' + doing + " (código " + std::to_string(code) +
           ')';
}
} // namespace socket_messages

class TcpSocket
{
public:
    TcpSocket();
    ~TcpSocket(); // closes
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Connects to a dotted IPv4 address within timeout (non-positive: no limit
    // beyond the system's own). An attempt still pending at the time-out is
    // abandoned and its socket closed. Throws SocketError: HostNotSet,
    // InvalidAddress, AlreadyConnected, Refused, Unreachable, TimedOut, Other.
    void Connect(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout);

    // True from a successful Connect until Close. A close by the peer does not
    // close this socket by itself: the owner decides when it notices one.
    bool IsOpen() const noexcept;

    // The address of the last Connect, "host:port"; empty before the first.
    const std::string& Address() const noexcept { return FAddress; }

    // Waits at most timeout (non-positive: only looks) until something can be
    // read, or the peer closed or reset the connection, or an error is
    // pending. Returns false on time-out. Never reads. Throws SocketError
    // NotConnected when not open, Other on a failure of the wait itself.
    bool WaitReadable(std::chrono::milliseconds timeout);

    // Appends to out what the system holds for this socket, without waiting,
    // and reports why the peer is gone: nullopt while it is there, otherwise
    // a ClosedByPeer, ResetByPeer or Other error. Data that arrived before a
    // close is appended first. Once the peer is gone the answer sticks and
    // nothing more is read. On a socket that is not open it returns a
    // NotConnected error. Never throws.
    std::optional<SocketError> ReceiveAvailable(std::vector<char>& out);

    // Sends every byte. Waits for room in the system's buffer at most
    // stallTimeout at a time (non-positive: no limit). Never raises SIGPIPE.
    // Throws SocketError: NotConnected, ClosedByPeer, ResetByPeer, TimedOut,
    // Other. The socket stays open after a failure; the owner closes it.
    void SendAll(const char* data, std::size_t size, std::chrono::milliseconds stallTimeout);

    // Closes at once; nothing is sent to the peer beyond what the system does
    // for a close. Nothing on a closed socket.
    void Close() noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> FImpl;
    std::string FAddress;
};

} // namespace veltrane::link
