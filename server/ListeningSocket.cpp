#include "server/ListeningSocket.h"

#include "server/FtpServer.h"

void CSocketOpenListening::OnAccept(int error)
{
    Q_UNUSED(error);
    // Take every pending connection now: a burst of clients must not wait for one
    // notification each.
    for (;;) {
        int fd = Accept();
        if (fd < 0)
            break;
        m_pMainWindow->StartConnectionThread(fd);
    }
    m_pMainWindow->AcceptsTaken();
}
