#pragma once

#include "core/Settings.h"

#include <QtGlobal>

class CServerMonitor;
class QWidget;

// What makes the first " Start server" of a new user work: the default folders, which nobody has
// made yet, and a port that needs no privileges. Window's thread only.
class CFirstStart
{
public:
    // While values still name the default root folder and nothing exists there, creates it, and the
    // default secure folder inside it when values name that too; one monitor line per folder,
    // created or not. A folder the user chose is never created: a missing one is refused by the start.
    static void CreateDefaultFolders(const CSettings::Values& values, CServerMonitor& monitor);

    // Asks whether to start on CFtpServer::kSuggestedPort instead of port, which needs privileges;
    // true for Yes. Asks once per window: after the first answer, false without a question.
    bool AskForSuggestedPort(QWidget* parent, quint32 port);

private:
    bool m_bAsked = false;
};
