#include "transfer/PassivePorts.h"

#include "platform/AsyncSocket.h"
#include "transfer/TransferLimits.h"

#include <QRandomGenerator>

#include <cerrno>

namespace {

// Urgent data stays in an upload's bytes: the connections accepted take the setting with them.
bool ListenForData(CAsyncSocket& socket)
{
    socket.SetUrgentInline();
    return socket.Listen(kDataBacklog);
}

} // namespace

bool ReusePassiveSocket(CAsyncSocket& socket, CUniqueFd listening)
{
    if (!socket.AttachListening(listening.Release()))
        return false;
    for (;;) {
        if (const CUniqueFd stale(socket.Accept()); stale.IsValid())
            continue; // closed
        else if (socket.LastError() != ECONNABORTED && socket.LastError() != EINTR)
            return true;
    }
}

bool CreatePassiveSocket(CAsyncSocket& socket)
{
    constexpr unsigned kRangeSize = kPassivePortLast - kPassivePortFirst + 1;
    // SECURITY: the search starts at a random port, so that nobody can tell the next client's port
    // and connect to it first. A port in use fails the bind, and the same socket tries the next
    // port. A listen can still fail where another socket with SO_REUSEADDR was bound first; a bound
    // socket cannot bind again, so the next port gets a new one.
    const unsigned first = QRandomGenerator::global()->bounded(kRangeSize);
    for (unsigned i = 0; i < kRangeSize && (socket.IsOpen() || socket.Open(true)); ++i) {
        const int port = kPassivePortFirst + int((first + i) % kRangeSize);
        if (!socket.Bind(quint16(port)))
            continue;
        if (ListenForData(socket))
            return true;
        socket.Close();
    }
    return socket.Create(0, true) && ListenForData(socket);
}
