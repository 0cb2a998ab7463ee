#include "link/controller_connection.h"

#include "core/failure.h"
#include "link/tcp_socket.h"
#include "link/wire.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <thread>

namespace veltrane::link {

using namespace Qt::StringLiterals;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

[[noreturn]] void fail(const std::string& utf8Message)
{
    throw Failure(QString::fromUtf8(utf8Message.data(), qsizetype(utf8Message.size())));
}

bool peerLeft(SocketErrorKind kind)
{
    return kind == SocketErrorKind::ClosedByPeer || kind == SocketErrorKind::ResetByPeer;
}

} // namespace

ControllerConnection::ControllerConnection() = default;

ControllerConnection::ControllerConnection(QString host, quint16 port)
    : FHost(std::move(host)), FPort(port)
{
}

ControllerConnection::~ControllerConnection() = default; // the socket closes itself

QString ControllerConnection::Address() const
{
    return FHost + u':' + QString::number(FPort);
}

std::string ControllerConnection::addressForMessages() const
{
    return FHost.isEmpty() ? std::string() : FormatAddress(FHost.toStdString(), FPort);
}

void ControllerConnection::Connect()
{
    if (FSocket) {
        fail(socket_messages::AlreadyConnected(addressForMessages()));
    }
    FReceived.clear();
    auto socket = std::make_unique<TcpSocket>();
    try {
        socket->Connect(FHost.toStdString(), FPort, milliseconds(FConnectTimeoutMs));
    } catch (const SocketError& e) {
        fail(e.what());
    }
    FSocket = std::move(socket);
}

bool ControllerConnection::pullAvailable(bool throwWhenPeerGone)
{
    if (full()) {
        return true; // what the socket noticed waits until room is made
    }
    const std::optional<SocketError> gone = FSocket->ReceiveAvailable(FReceived);
    if (!gone) {
        return true;
    }
    FSocket.reset();
    if (throwWhenPeerGone || !peerLeft(gone->Kind())) {
        fail(gone->what());
    }
    return false;
}

bool ControllerConnection::full() const
{
    return FReceived.size() >= kMaxHeldBytes;
}

void ControllerConnection::pullQuietly()
{
    if (FSocket && !full()) {
        (void)FSocket->ReceiveAvailable(FReceived);
    }
}

bool ControllerConnection::IsConnected()
{
    return FSocket && pullAvailable(false);
}

void ControllerConnection::Disconnect()
{
    try {
        IsConnected();
    } catch (...) {
        FReceived.clear();
        throw;
    }
    FSocket.reset();
    FReceived.clear();
}

void ControllerConnection::DiscardReceivedData()
{
    pullQuietly();
    FReceived.clear();
}

void ControllerConnection::SendText(const QString& text)
{
    if (!FSocket) {
        fail(socket_messages::NotConnected(addressForMessages()));
    }
    // A controller that has already closed or reset the connection would
    // otherwise swallow the first request without a word.
    pullAvailable(true);
    const QByteArray bytes = EncodeWireText(text);
    if (bytes.isEmpty()) {
        return;
    }
    try {
        FSocket->SendAll(bytes.constData(), std::size_t(bytes.size()),
                         milliseconds(FReadTimeoutMs));
    } catch (const SocketError& e) {
        FSocket.reset();
        fail(e.what());
    }
}

void ControllerConnection::WaitForData(int ms)
{
    if (!FSocket || !FReceived.empty()) {
        return;
    }
    waitForMoreThan(0, ms);
}

ReplyFrame ControllerConnection::WaitForWholeReply(const QDeadlineTimer& deadline)
{
    pullQuietly();
    const auto check = [this] {
        return CheckReply(QByteArrayView(FReceived.data(), qsizetype(FReceived.size())));
    };
    ReplyFrame frame = check();
    // A closed connection (FSocket gone) ends the wait at once.
    while (!frame.check.whole() && FSocket && !deadline.hasExpired()) {
        const auto left = std::chrono::ceil<milliseconds>(deadline.remainingTimeAsDuration());
        waitForMoreThan(FReceived.size(), int(std::min<milliseconds::rep>(left.count(), INT_MAX)));
        frame = check();
    }
    return frame;
}

void ControllerConnection::waitForMoreThan(std::size_t held, int ms)
{
    if (!pullAvailable(false) || FReceived.size() > held) {
        return;
    }
    // The read time-out bounds every blocking read, whatever the caller asks.
    const int limitMs = FReadTimeoutMs > 0 ? std::min(ms, FReadTimeoutMs) : ms;
    if (limitMs <= 0) {
        return;
    }
    const Clock::time_point deadline = Clock::now() + milliseconds(limitMs);
    if (full()) {
        // Nothing more will be taken: the wait is as long as with a silent peer.
        std::this_thread::sleep_until(deadline);
        return;
    }
    for (;;) {
        const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return;
        }
        bool readable = false;
        try {
            readable = FSocket->WaitReadable(left);
        } catch (const SocketError& e) {
            FSocket.reset();
            fail(e.what());
        }
        if (!readable) {
            return;
        }
        if (!pullAvailable(false) || FReceived.size() > held || full()) {
            return;
        }
    }
}

bool ControllerConnection::HasReceivedData()
{
    pullQuietly();
    return !FReceived.empty();
}

QString ControllerConnection::TakeReceivedText()
{
    pullQuietly();
    QString text = DecodeWireText(QByteArrayView(FReceived.data(), qsizetype(FReceived.size())));
    FReceived.clear();
    return text;
}

QByteArray ControllerConnection::PeekReceivedBytes()
{
    pullQuietly();
    return QByteArray(FReceived.data(), qsizetype(FReceived.size()));
}

void DisconnectQuietly(ControllerConnection& connection) noexcept
{
    try {
        if (connection.IsConnected()) {
            connection.Disconnect();
        }
    } catch (...) {
        // Given up either way.
    }
}

} // namespace veltrane::link
