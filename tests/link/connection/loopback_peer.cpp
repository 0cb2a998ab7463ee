#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0601
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0601 // WSAPoll
#endif
#endif

#include "loopback_peer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#ifdef _WIN32
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace veltrane::test {

namespace {

// How often a blocked peer looks whether it is being torn down.
constexpr int kSliceMs = 50;

struct PeerStopped
{
};

// The few calls that differ between Winsock and POSIX.
#ifdef _WIN32
using SocketLength = int;
constexpr int kSendFlags = 0;

int LastError()
{
    return ::WSAGetLastError();
}

bool Interrupted()
{
    return false; // Winsock calls are not interrupted by signals
}

bool ConnectPending()
{
    return ::WSAGetLastError() == WSAEWOULDBLOCK;
}

void CloseSocket(PeerSocket fd)
{
    ::closesocket(fd);
}

int PollOne(PeerSocket fd, short events, int ms)
{
    WSAPOLLFD p{};
    p.fd = fd;
    p.events = events;
    return ::WSAPoll(&p, 1, ms);
}

void SetNonBlocking(PeerSocket fd)
{
    u_long on = 1;
    ::ioctlsocket(fd, FIONBIO, &on);
}

// Started once for the process, before the peer's first socket.
void StartSockets()
{
    static const int started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0) {
        throw std::runtime_error("WSAStartup: " + std::to_string(started));
    }
}
#else
using SocketLength = socklen_t;
constexpr int kSendFlags = MSG_NOSIGNAL;

int LastError()
{
    return errno;
}

bool Interrupted()
{
    return errno == EINTR;
}

bool ConnectPending()
{
    return errno == EINPROGRESS;
}

void CloseSocket(PeerSocket fd)
{
    ::close(fd);
}

int PollOne(PeerSocket fd, short events, int ms)
{
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, ms);
}

void SetNonBlocking(PeerSocket fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
}

void StartSockets()
{
}
#endif

[[noreturn]] void SystemFailure(const char* what)
{
    const int error = LastError();
#ifdef _WIN32
    throw std::runtime_error(std::string(what) + ": Winsock error " + std::to_string(error));
#else
    throw std::runtime_error(std::string(what) + ": " + std::strerror(error));
#endif
}

long long SendSome(PeerSocket fd, const char* bytes, qsizetype count)
{
    return ::send(fd, bytes, static_cast<int>(std::min<qsizetype>(count, 1 << 20)), kSendFlags);
}

long long ReceiveSome(PeerSocket fd, char* buffer, qsizetype count)
{
    return ::recv(fd, buffer, static_cast<int>(count), 0);
}

PeerSocket LoopbackSocket(sockaddr_in& address)
{
    StartSockets();
    const PeerSocket fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd == kNoSocket) {
        SystemFailure("socket");
    }
    address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        CloseSocket(fd);
        SystemFailure("bind");
    }
    SocketLength len = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len);
    return fd;
}

} // namespace

// --- PeerClient ---------------------------------------------------------

void PeerClient::waitReadable()
{
    for (;;) {
        if (FPeer.stopping()) {
            throw PeerStopped{};
        }
        const int n = PollOne(FFd, POLLIN, kSliceMs);
        if (n > 0) {
            return;
        }
        if (n < 0 && !Interrupted()) {
            SystemFailure("poll");
        }
    }
}

void PeerClient::Send(const QByteArray& bytes)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const long long n = SendSome(FFd, bytes.constData() + sent, bytes.size() - sent);
        if (n < 0) {
            if (Interrupted()) {
                continue;
            }
            SystemFailure("send");
        }
        sent += n;
    }
}

QByteArray PeerClient::ReceiveExactly(qsizetype count)
{
    QByteArray got;
    while (got.size() < count) {
        waitReadable();
        char buffer[4096];
        const long long n =
            ReceiveSome(FFd, buffer, std::min<qsizetype>(sizeof buffer, count - got.size()));
        if (n == 0) {
            throw std::runtime_error("the client closed after " + std::to_string(got.size()) +
                                     " of " + std::to_string(count) + " bytes");
        }
        if (n < 0) {
            if (Interrupted()) {
                continue;
            }
            SystemFailure("recv");
        }
        got.append(buffer, qsizetype(n));
    }
    return got;
}

QByteArray PeerClient::ReceiveUntilClosed()
{
    QByteArray got;
    for (;;) {
        waitReadable();
        char buffer[4096];
        const long long n = ReceiveSome(FFd, buffer, sizeof buffer);
        if (n == 0) {
            return got;
        }
        if (n < 0) {
            if (Interrupted()) {
                continue;
            }
            SystemFailure("recv");
        }
        got.append(buffer, qsizetype(n));
    }
}

void PeerClient::Close()
{
    CloseSocket(FFd);
    FFd = kNoSocket;
}

void PeerClient::Reset()
{
    const linger abortive{1, 0};
    ::setsockopt(FFd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
                 sizeof abortive);
    Close();
}

void PeerClient::WaitGo()
{
    std::unique_lock lock(FPeer.FMutex);
    FPeer.FChanged.wait(lock, [this] { return FPeer.FStop || FPeer.FGo > 0; });
    if (FPeer.FStop) {
        throw PeerStopped{};
    }
    --FPeer.FGo;
}

void PeerClient::Done()
{
    {
        std::lock_guard lock(FPeer.FMutex);
        ++FPeer.FDone;
    }
    FPeer.FChanged.notify_all();
}

// --- LoopbackPeer ---------------------------------------------------------

LoopbackPeer::LoopbackPeer(int backlog)
{
    sockaddr_in address;
    FListenFd = LoopbackSocket(address);
    if (::listen(FListenFd, backlog) != 0) {
        CloseSocket(FListenFd);
        SystemFailure("listen");
    }
    FPort = ntohs(address.sin_port);
}

LoopbackPeer::~LoopbackPeer()
{
    {
        std::lock_guard lock(FMutex);
        FStop = true;
    }
    FChanged.notify_all();
    if (FThread.joinable()) {
        FThread.join();
    }
    if (FClient.FFd != kNoSocket) {
        CloseSocket(FClient.FFd);
    }
    CloseSocket(FListenFd);
}

bool LoopbackPeer::stopping()
{
    std::lock_guard lock(FMutex);
    return FStop;
}

void LoopbackPeer::Serve(std::function<void(PeerClient&)> script)
{
    Finish();
    {
        std::lock_guard lock(FMutex);
        FScriptEnded = false;
        FGo = 0;
        FDone = 0;
    }
    FError.clear();
    FThread = std::thread([this, script = std::move(script)] { run(script); });
}

void LoopbackPeer::run(const std::function<void(PeerClient&)>& script)
{
    try {
        for (;;) {
            if (stopping()) {
                throw PeerStopped{};
            }
            if (PollOne(FListenFd, POLLIN, kSliceMs) > 0) {
                break;
            }
        }
        if (FClient.FFd != kNoSocket) {
            CloseSocket(FClient.FFd);
        }
        FClient.FFd = ::accept(FListenFd, nullptr, nullptr);
        if (FClient.FFd == kNoSocket) {
            SystemFailure("accept");
        }
        script(FClient);
    } catch (const PeerStopped&) {
        FError = QStringLiteral("peer stopped before its script ended");
    } catch (const std::exception& e) {
        FError = QString::fromUtf8(e.what());
    }
    {
        std::lock_guard lock(FMutex);
        FScriptEnded = true;
    }
    FChanged.notify_all();
}

QString LoopbackPeer::Finish()
{
    if (FThread.joinable()) {
        FThread.join();
    }
    return FError;
}

void LoopbackPeer::Go()
{
    {
        std::lock_guard lock(FMutex);
        ++FGo;
    }
    FChanged.notify_all();
}

bool LoopbackPeer::WaitDone()
{
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [this] { return FDone > 0 || FScriptEnded; });
    if (FDone == 0) {
        return false;
    }
    --FDone;
    return true;
}

// --- RefusingPort ---------------------------------------------------------

RefusingPort::RefusingPort()
{
    sockaddr_in address;
    FFd = LoopbackSocket(address);
    FPort = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort()
{
    CloseSocket(FFd);
}

// --- SilentListener -------------------------------------------------------

SilentListener::SilentListener()
{
    sockaddr_in address;
    FListenFd = LoopbackSocket(address);
    if (::listen(FListenFd, 0) != 0) {
        CloseSocket(FListenFd);
        SystemFailure("listen");
    }
    FPort = ntohs(address.sin_port);

    // Connect until one attempt is no longer answered: from then on the
    // listener drops new attempts without a word.
    for (int i = 0; i < 64 && !FReady; ++i) {
        const PeerSocket fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd == kNoSocket) {
            break;
        }
        SetNonBlocking(fd);
        const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        if (rc == 0) {
            FFillers.push_back(fd);
            continue;
        }
        if (ConnectPending() && PollOne(fd, POLLOUT, 300) == 0) {
            FReady = true;
        }
        int err = 0;
        SocketLength len = sizeof err;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len);
        if (FReady || err != 0) {
            CloseSocket(fd);
            if (err != 0) {
                break;
            }
        } else {
            FFillers.push_back(fd);
        }
    }
}

SilentListener::~SilentListener()
{
    for (const PeerSocket fd : FFillers) {
        CloseSocket(fd);
    }
    CloseSocket(FListenFd);
}

bool RunningUnderWine()
{
#ifdef _WIN32
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

int OpenDescriptorCount()
{
#ifdef _WIN32
    DWORD count = 0;
    return ::GetProcessHandleCount(::GetCurrentProcess(), &count) ? int(count) : -1;
#else
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (::readdir(dir) != nullptr) {
        ++count;
    }
    ::closedir(dir);
    return count;
#endif
}

} // namespace veltrane::test
