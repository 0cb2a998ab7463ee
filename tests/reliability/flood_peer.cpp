#include "flood_peer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace veltrane::testing {

FloodPeer::FloodPeer(QByteArray prefix, QByteArray filler)
    : FPrefix(std::move(prefix)), FFiller(std::move(filler))
{
    FListenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (FListenFd < 0 || ::bind(FListenFd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(FListenFd, 8) != 0 ||
        ::getsockname(FListenFd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        throw std::runtime_error("flood peer: cannot listen");
    }
    FPort = ntohs(address.sin_port);
    FThread = std::thread([this] { run(); });
}

FloodPeer::~FloodPeer()
{
    FStop = true;
    FThread.join();
    ::close(FListenFd);
}

void FloodPeer::run()
{
    while (!FStop) {
        pollfd p{FListenFd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        const int fd = ::accept(FListenFd, nullptr, nullptr);
        if (fd >= 0) {
            flood(fd);
            ::close(fd);
        }
    }
}

void FloodPeer::flood(int fd)
{
    // Wait for a request, then answer it with the prefix and filler for ever.
    char buffer[4096];
    while (!FStop) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        if (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) <= 0) {
            return;
        }
        break;
    }
    // The prefix goes out in one write with the first filler: sent apart, a
    // peer thread held up between the two on a loaded machine lets the
    // program find the prefix alone.
    QByteArray first = FPrefix;
    first.append(FFiller);
    bool firstSent = false;
    while (!FStop) {
        const QByteArray& chunk = firstSent ? FFiller : first;
        firstSent = true;
        qsizetype offset = 0;
        while (offset < chunk.size() && !FStop) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            const ssize_t n = ::send(fd, chunk.constData() + offset,
                                     std::size_t(chunk.size() - offset), MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) {
                    continue;
                }
                return; // the program closed the connection
            }
            offset += n;
            FSent += std::uint64_t(n);
        }
        // Requests that arrive meanwhile are read and dropped.
        (void)::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    }
}

} // namespace veltrane::testing
