#pragma once

// A blocking client of the stand-in for tests: sends frames, reads framed
// replies. The controller runs on another thread, so blocking here is fine.

#include <QTcpSocket>
#include <QTest>

namespace veltrane::simtest {

inline QByteArray Frame(const QByteArray& body)
{
    return QByteArray::number(body.size()).rightJustified(5, '0') + "|5|" + body;
}

class WireClient
{
public:
    bool open(quint16 port, int timeoutMs = 3000)
    {
        FSocket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
        return FSocket.waitForConnected(timeoutMs);
    }
    void send(const QByteArray& bytes)
    {
        FSocket.write(bytes);
        FSocket.waitForBytesWritten(3000);
    }
    void sendBody(const QByteArray& body) { send(Frame(body)); }

    // Reads until one whole reply frame has arrived; its body, or an empty
    // array when the time runs out or the connection ends first.
    QByteArray readFrameBody(int timeoutMs = 3000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (true) {
            const qsizetype bar = FBuffer.indexOf("|5|");
            if (bar >= 5) {
                const qsizetype length = FBuffer.first(bar).toLongLong();
                if (FBuffer.size() >= bar + 3 + length) {
                    const QByteArray body = FBuffer.sliced(bar + 3, length);
                    FBuffer.remove(0, bar + 3 + length);
                    return body;
                }
            }
            if (!waitForMore(deadline)) {
                return {};
            }
        }
    }
    // Whatever arrives until the connection ends or the time runs out.
    QByteArray readUntilClosed(int timeoutMs = 3000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (waitForMore(deadline)) {
        }
        return std::exchange(FBuffer, {});
    }
    // Reads what has arrived by the first chunk (waiting at most timeoutMs for it).
    QByteArray readFirstChunk(int timeoutMs = 3000)
    {
        if (FBuffer.isEmpty()) {
            waitForMore(QDeadlineTimer(timeoutMs));
        }
        return std::exchange(FBuffer, {});
    }
    QByteArray buffered() const { return FBuffer; }
    QTcpSocket& socket() { return FSocket; }

    QByteArray roundTrip(const QByteArray& body)
    {
        sendBody(body);
        return readFrameBody();
    }

private:
    bool waitForMore(QDeadlineTimer deadline)
    {
        if (FSocket.bytesAvailable() == 0) {
            if (FSocket.state() != QAbstractSocket::ConnectedState ||
                !FSocket.waitForReadyRead(int(std::max<qint64>(deadline.remainingTime(), 0)))) {
                FBuffer += FSocket.readAll();
                return false;
            }
        }
        FBuffer += FSocket.readAll();
        return true;
    }

    QTcpSocket FSocket;
    QByteArray FBuffer;
};

} // namespace veltrane::simtest
