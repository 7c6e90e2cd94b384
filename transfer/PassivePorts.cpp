#include "transfer/PassivePorts.h"

#include "platform/AsyncSocket.h"
#include "transfer/TransferLimits.h"

#include <atomic>
#include <cerrno>
#include <unistd.h>

namespace {

constexpr int kDataBacklog = 5;

std::atomic<int> g_nextPort{kPassivePortFirst}; // shared by every connection thread

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
    constexpr int kRangeSize = kPassivePortLast - kPassivePortFirst + 1;
    const int start = g_nextPort.fetch_add(1) % kRangeSize;
    for (int i = 0; i < kRangeSize; ++i) {
        const int port = kPassivePortFirst + (start + i) % kRangeSize;
        if (socket.Create(quint16(port), true) && socket.Listen(kDataBacklog)) {
            g_nextPort = port - kPassivePortFirst + 1;
            return true;
        }
    }
    return socket.Create(0, true) && socket.Listen(kDataBacklog);
}
