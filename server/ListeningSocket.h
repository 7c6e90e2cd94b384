#pragma once

#include "platform/AsyncSocket.h"
#include "platform/UniqueFd.h"

#include <QByteArray>

#include <functional>

// The server's listening socket. Its accept notifications run on the server's thread, and report
// through the callbacks given at construction.
class CSocketOpenListening : public CAsyncSocket
{
public:
    struct Callbacks
    {
        std::function<void(CUniqueFd, const QByteArray&)> onClient; // an accepted client and its address
        std::function<void(CUniqueFd, const QByteArray&)> onNoRoom; // a client taken only to turn it away
        std::function<void()> onAcceptsTaken;                       // every pending client was taken
    };
    explicit CSocketOpenListening(Callbacks callbacks);

protected:
    void OnAccept(int error) override;

private:
    Callbacks m_callbacks;
    // A descriptor held for when the process has none left: given up for a moment, it takes the
    // waiting client so that it can be turned away. Left waiting, the client would be reported
    // again and again, keeping the thread busy for nothing.
    CUniqueFd m_reserve;
};
