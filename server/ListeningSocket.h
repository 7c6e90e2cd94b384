#pragma once

#include "platform/AsyncSocket.h"

class CFtpServer;

// The server's listening socket. Its accept notifications run on the server's thread.
class CSocketOpenListening : public CAsyncSocket
{
public:
    CFtpServer* m_pMainWindow = nullptr; // set each time the server starts

protected:
    void OnAccept(int error) override;
};
