#pragma once

#include "core/timings.h"
#include "link/framed_reply.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>

#include <memory>
#include <string>
#include <vector>

namespace veltrane::link {

class TcpSocket;

// One TCP client connection to the forecourt controller. Every operation
// blocks the calling thread (on purpose: the program has one thread) and either
// completes or throws veltrane::Failure with a Spanish message that names the
// address and what happened.
class ControllerConnection
{
public:
    static constexpr int kDefaultTimeoutMs = kControllerTimeoutMs;
    // Received data is taken from the socket only while less than this is
    // held: a controller that never stops sending cannot make the program
    // hold more than this plus one pass of the socket (4 MiB). A reply is a
    // few hundred bytes.
    static constexpr std::size_t kMaxHeldBytes = std::size_t{8} * 1024 * 1024;

    ControllerConnection();
    ControllerConnection(QString host, quint16 port);
    ~ControllerConnection(); // release: closes the connection if it is open
    ControllerConnection(const ControllerConnection&) = delete;
    ControllerConnection& operator=(const ControllerConnection&) = delete;

    void SetHost(const QString& host) { FHost = host; }
    void SetPort(quint16 port) { FPort = port; }
    void SetConnectTimeout(int ms) { FConnectTimeoutMs = ms; }
    void SetReadTimeout(int ms) { FReadTimeoutMs = ms; }
    const QString& Host() const { return FHost; }
    quint16 Port() const { return FPort; }
    int ConnectTimeout() const { return FConnectTimeoutMs; }
    int ReadTimeout() const { return FReadTimeoutMs; }

    // Opens the connection within the connect time-out. Fails when no host is
    // set, when refused or unreachable, on time-out, or when already open.
    void Connect();
    // Without waiting. A close, reset or abort by the controller answers false
    // and closes our side; other network errors throw (our side closed too).
    // What the controller sent before closing can still be taken afterwards,
    // until the next connect or disconnect.
    bool IsConnected();
    // Closes if open; received data is dropped in every case. Nothing is
    // sent to the controller.
    void Disconnect();
    // The wire is always 7-bit ASCII; kept for the callers' sake.
    void SetTextEncoding() {}
    // Drops everything received so far, without waiting.
    void DiscardReceivedData();
    // Encodes as 7-bit ASCII and transmits all of it. Fails when not open or on
    // a network error, which also closes our side.
    void SendText(const QString& text);
    // Nothing is held back by SendText, so this returns at once.
    void Flush() {}
    // Waits until received data is present, at most ms; returns at the first
    // data, at once when not open, early when the controller closes.
    void WaitForData(int ms);
    // Waits until the reply held so far is whole (its announced body has
    // arrived, or it ends with "^"; counted from where its frame starts), or
    // until the deadline (bounded by the read time-out per wait). Returns at
    // once when the connection is not open and as soon as the controller
    // closes it: nothing more can come then. With kMaxHeldBytes held nothing
    // more is taken: it waits until the deadline. Leaves the data in place;
    // fails as WaitForData.
    ReplyFrame WaitForWholeReply(const QDeadlineTimer& deadline);
    // Without waiting.
    bool HasReceivedData();
    // Everything received so far, decoded (bytes above 127 become U+FFFD),
    // without waiting; empty when nothing has arrived.
    QString TakeReceivedText();
    // The bytes received so far, left in place (for a caller that must know
    // whether a framed reply is complete before taking it).
    QByteArray PeekReceivedBytes();

    // "127.0.0.1:3011", as failure messages name the controller.
    QString Address() const;

private:
    // Moves what the socket holds into FReceived without waiting. Returns
    // false once the controller has closed, reset or aborted the connection,
    // after closing our side (throwing the close instead when
    // throwWhenPeerGone); throws, also after closing, on any other error.
    bool pullAvailable(bool throwWhenPeerGone);
    // For the operations that never fail: what the socket noticed stays
    // with it until an operation that may fail asks.
    void waitForMoreThan(std::size_t held, int ms);
    void pullQuietly();
    bool full() const;
    std::string addressForMessages() const;

    QString FHost;
    quint16 FPort = 0;
    int FConnectTimeoutMs = kDefaultTimeoutMs;
    int FReadTimeoutMs = kDefaultTimeoutMs;
    std::unique_ptr<TcpSocket> FSocket; // null while closed
    std::vector<char> FReceived;        // received, not yet taken or discarded
};

// Closes the connection if it is open. Whatever fails on the way is
// swallowed: the connection is given up either way.
void DisconnectQuietly(ControllerConnection& connection) noexcept;

} // namespace veltrane::link
