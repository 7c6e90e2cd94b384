#include "server/ListeningSocket.h"

#include "server/FtpServer.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

int OpenReserve()
{
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

} // namespace

CSocketOpenListening::CSocketOpenListening() : m_hReserve(OpenReserve()) {}

CSocketOpenListening::~CSocketOpenListening()
{
    if (m_hReserve >= 0)
        ::close(m_hReserve);
}

void CSocketOpenListening::OnAccept(int error)
{
    Q_UNUSED(error);
    // A connection thread may have taken the number the reserve gave up last time.
    if (m_hReserve < 0)
        m_hReserve = OpenReserve();
    // Take every pending connection now: a burst of clients must not wait for one
    // notification each.
    for (;;) {
        QByteArray peer;
        const int fd = Accept(&peer);
        if (fd >= 0) {
            m_pMainWindow->StartConnectionThread(fd, peer);
            continue;
        }
        if ((LastError() != EMFILE && LastError() != ENFILE) || m_hReserve < 0)
            break;
        ::close(m_hReserve);
        const int refused = Accept(&peer);
        if (refused >= 0)
            m_pMainWindow->TurnAway(refused, peer);
        m_hReserve = OpenReserve();
        if (refused < 0)
            break;
    }
    m_pMainWindow->AcceptsTaken();
}
