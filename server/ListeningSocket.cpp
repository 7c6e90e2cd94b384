#include "server/ListeningSocket.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

CUniqueFd OpenReserve()
{
    return CUniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
}

} // namespace

CSocketOpenListening::CSocketOpenListening(Callbacks callbacks)
    : m_callbacks(std::move(callbacks)), m_reserve(OpenReserve())
{}

void CSocketOpenListening::OnAccept(int error)
{
    Q_UNUSED(error);
    // A connection thread may have taken the number the reserve gave up last time.
    if (!m_reserve.IsValid())
        m_reserve = OpenReserve();
    // Take every pending connection now: a burst of clients must not wait for one
    // notification each.
    for (;;) {
        QByteArray peer;
        if (CUniqueFd fd(Accept(&peer)); fd.IsValid()) {
            m_callbacks.onClient(std::move(fd), peer);
            continue;
        }
        if ((LastError() != EMFILE && LastError() != ENFILE) || !m_reserve.IsValid())
            break;
        m_reserve.Reset();
        CUniqueFd refused(Accept(&peer));
        const bool taken = refused.IsValid();
        if (taken)
            m_callbacks.onNoRoom(std::move(refused), peer);
        m_reserve = OpenReserve();
        if (!taken)
            break;
    }
    m_callbacks.onAcceptsTaken();
}
