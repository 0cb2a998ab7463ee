#pragma once

// A controller that never stops talking: it accepts connections on 127.0.0.1
// and a free port and, for each request it receives, sends a prefix and then
// the filler without end, until the program closes the connection or the
// peer is destroyed. For the tests of what the program holds and logs from an
// endless stream.

#include <QByteArray>

#include <atomic>
#include <cstdint>
#include <thread>

namespace veltrane::testing {

class FloodPeer
{
public:
    explicit FloodPeer(QByteArray prefix, QByteArray filler = QByteArray(64 * 1024, 'x'));
    ~FloodPeer();
    FloodPeer(const FloodPeer&) = delete;
    FloodPeer& operator=(const FloodPeer&) = delete;

    std::uint16_t port() const { return FPort; }
    // Bytes sent so far, on all connections.
    std::uint64_t sent() const { return FSent.load(); }

private:
    void run();
    void flood(int fd);

    QByteArray FPrefix;
    QByteArray FFiller;
    int FListenFd = -1;
    std::uint16_t FPort = 0;
    std::atomic<bool> FStop{false};
    std::atomic<std::uint64_t> FSent{0};
    std::thread FThread;
};

} // namespace veltrane::testing
