#include "server/ListeningSocket.h"

#include "server/FtpServer.h"

void CSocketOpenListening::OnAccept(int error)
{
    Q_UNUSED(error);
    // Take every pending connection now: a burst of clients must not wait for one
    // notification each.
    for (;;) {
        QByteArray peer;
        const int fd = Accept(&peer);
        if (fd < 0)
            break;
        m_pMainWindow->StartConnectionThread(fd, peer);
    }
    m_pMainWindow->AcceptsTaken();
}
