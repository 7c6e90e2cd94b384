#pragma once

#include "platform/AsyncSocket.h"
#include "platform/UniqueFd.h"

class CFtpServer;

// The server's listening socket. Its accept notifications run on the server's thread.
class CSocketOpenListening : public CAsyncSocket
{
public:
    CSocketOpenListening();

    CFtpServer* m_pMainWindow = nullptr; // set each time the server starts

protected:
    void OnAccept(int error) override;

private:
    // A descriptor held for when the process has none left: given up for a moment, it takes the
    // waiting client so that it can be turned away. Left waiting, the client would be reported
    // again and again, keeping the thread busy for nothing.
    CUniqueFd m_reserve;
};
