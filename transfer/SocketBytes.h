#pragma once

#include "platform/AsyncSocket.h"

#include <QByteArray>

class CSocketController;

// The data connection of one client: a passive listening socket or an active connect, then one
// transfer. Lives on the client's connection thread; owned by the control connection.
class CSocketBytes : public CAsyncSocket
{
public:
    explicit CSocketBytes(CSocketController* controller) : m_pController(controller) {}

    bool m_bConnected = false;

private:
    CSocketController* m_pController;
};
