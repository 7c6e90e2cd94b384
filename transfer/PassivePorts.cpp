#include "transfer/PassivePorts.h"

#include "platform/AsyncSocket.h"
#include "transfer/TransferLimits.h"

#include <atomic>
#include <cerrno>
#include <unistd.h>

namespace {

// Where in the range the next try goes; shared by every connection thread.
std::atomic<unsigned> g_nextTry{0};

// Urgent data stays in an upload's bytes: the connections accepted take the setting with them.
bool ListenForData(CAsyncSocket& socket)
{
    socket.SetUrgentInline();
    return socket.Listen(kDataBacklog);
}

} // namespace

bool ReusePassiveSocket(CAsyncSocket& socket, int listeningFd)
{
    if (!socket.AttachListening(listeningFd))
        return false;
    for (;;) {
        if (const int stale = socket.Accept(); stale >= 0)
            ::close(stale);
        else if (socket.LastError() != ECONNABORTED && socket.LastError() != EINTR)
            return true;
    }
}

bool CreatePassiveSocket(CAsyncSocket& socket)
{
    constexpr unsigned kRangeSize = kPassivePortLast - kPassivePortFirst + 1;
    // Each try takes the next port of the range for itself: searches that run at once on several
    // threads never try the same port, and a port is tried again only once the whole range has
    // been. A port in use fails the bind, and the same socket tries the next port. A listen can
    // still fail where another socket with SO_REUSEADDR was bound first; a bound socket cannot
    // bind again, so the next port gets a new one.
    for (unsigned i = 0; i < kRangeSize && (socket.IsOpen() || socket.Open(true)); ++i) {
        const int port = kPassivePortFirst + int(g_nextTry.fetch_add(1) % kRangeSize);
        if (!socket.Bind(quint16(port)))
            continue;
        if (ListenForData(socket))
            return true;
        socket.Close();
    }
    return socket.Create(0, true) && ListenForData(socket);
}
