#pragma once

// A scriptable stand-in for the controller on 127.0.0.1, run on a thread of
// its own so that the connection under test can block on the test thread.
// The system's own sockets (POSIX or Winsock): the peer needs things Qt does
// not offer (a reset, a listen backlog that is really full).

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace veltrane::test {

// A socket: a SOCKET (pointer-sized, unsigned) on Windows, a descriptor
// elsewhere.
#ifdef _WIN32
using PeerSocket = std::uintptr_t;
inline constexpr PeerSocket kNoSocket = ~PeerSocket(0);
#else
using PeerSocket = int;
inline constexpr PeerSocket kNoSocket = -1;
#endif

class LoopbackPeer;

// The accepted connection, as the script on the peer thread sees it. Every
// call throws when the peer is being torn down or a socket call fails.
class PeerClient
{
public:
    void Send(const QByteArray& bytes);
    // Blocks until exactly count bytes have come, or fails.
    QByteArray ReceiveExactly(qsizetype count);
    // Everything until the client closes its side.
    QByteArray ReceiveUntilClosed();
    // Orderly close (FIN).
    void Close();
    // Abortive close (RST), by lingering zero seconds.
    void Reset();
    // Blocks until the test thread calls LoopbackPeer::Go (once per call).
    void WaitGo();
    // Lets the test thread's LoopbackPeer::WaitDone return (once per call).
    void Done();

private:
    friend class LoopbackPeer;
    explicit PeerClient(LoopbackPeer& peer) : FPeer(peer) {}
    void waitReadable();

    LoopbackPeer& FPeer;
    PeerSocket FFd = kNoSocket;
};

class LoopbackPeer
{
public:
    explicit LoopbackPeer(int backlog = 8);
    ~LoopbackPeer(); // stops the script, closes everything
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    quint16 Port() const { return FPort; }

    // Accepts one connection on the peer thread and runs script on it. The
    // accepted socket stays open after the script unless it closed it.
    void Serve(std::function<void(PeerClient&)> script);
    // Joins the script; returns its failure, empty when it ran through.
    QString Finish();

    void Go();
    // Waits (without limit) for the script's next Done; false when the script
    // ended without one.
    bool WaitDone();

private:
    friend class PeerClient;
    bool stopping();
    void run(const std::function<void(PeerClient&)>& script);

    PeerSocket FListenFd = kNoSocket;
    quint16 FPort = 0;
    std::thread FThread;
    QString FError;
    PeerClient FClient{*this};

    std::mutex FMutex;
    std::condition_variable FChanged;
    bool FStop = false;
    bool FScriptEnded = false;
    int FGo = 0;
    int FDone = 0;
};

// A port on 127.0.0.1 where nothing listens: bound but never listening, and
// held so that nobody else takes it. A connect there is refused.
class RefusingPort
{
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    quint16 Port() const { return FPort; }

private:
    PeerSocket FFd = kNoSocket;
    quint16 FPort = 0;
};

// A listener that never accepts and whose backlog is already full, so that a
// new connect is not answered at all. Ready() is false when the system kept
// answering (then a test cannot use it).
class SilentListener
{
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    quint16 Port() const { return FPort; }
    bool Ready() const { return FReady; }

private:
    PeerSocket FListenFd = kNoSocket;
    quint16 FPort = 0;
    bool FReady = false;
    std::vector<PeerSocket> FFillers;
};

// Whether this Windows program runs under Wine, whose sockets differ from
// Windows' in what a test can see. False elsewhere.
bool RunningUnderWine();

// Descriptors (on Windows: handles) open in this process now, or -1 where it
// cannot be told.
int OpenDescriptorCount();

} // namespace veltrane::test
