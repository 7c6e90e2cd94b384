#include "panel/FirstStart.h"

#include "core/MonitorColors.h"
#include "core/ServerMonitor.h"
#include "panel/MessageBoxes.h"
#include "server/FtpServer.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <utility>

namespace {

constexpr mode_t kRootFolderMode = 0777; // narrowed by the umask, as any new folder
// The secure folder holds what a decryption puts back: its owner's only.
constexpr mode_t kSecureFolderMode = 0700;

bool Exists(const QByteArray& path)
{
    struct stat status;
    return ::stat(path.constData(), &status) == 0;
}

// One line: "Root folder created: /home/alice/RootFolder", or why it was not (the start then refuses).
bool CreateFolder(const QByteArray& path, mode_t mode, const char* subject, CServerMonitor& monitor)
{
    const QByteArray shown =
        QFile::encodeName(QDir::cleanPath(QDir::current().absoluteFilePath(QFile::decodeName(path))));
    if (::mkdir(path.constData(), mode) != 0) {
        monitor.AddMonitorText("Unable to create the " + QByteArray(subject).toLower() + " " + shown + ": " +
                                   QByteArray(strerror(errno)),
                               MonitorColor::White, MonitorColor::Red, true);
        return false;
    }
    monitor.AddAddressLine(QByteArray(subject) + " created: ", MonitorColor::Amber, shown, MonitorColor::White);
    return true;
}

} // namespace

void CFirstStart::CreateDefaultFolders(const CSettings::Values& values, CServerMonitor& monitor)
{
    const CSettings::Values defaults;
    // The defaults are relative to the working folder, the home folder for a program opened from
    // the desktop's menu, where nobody has made them.
    if (values.SharedFolder != defaults.SharedFolder || Exists(values.SharedFolder))
        return;
    if (!CreateFolder(values.SharedFolder, kRootFolderMode, "Root folder", monitor))
        return;
    if (values.SecureFolder == defaults.SecureFolder)
        (void)CreateFolder(values.SecureFolder, kSecureFolderMode, "Secure folder", monitor);
}

bool CFirstStart::AskForSuggestedPort(QWidget* parent, quint32 port)
{
    if (std::exchange(m_bAsked, true))
        return false;
    return CMessageBox::AskYesNo(
        parent,
        QStringLiteral("Port %1 needs privileges on Linux.\n\nDo you want to use port %2 instead?")
            .arg(port)
            .arg(CFtpServer::kSuggestedPort),
        ApplicationName());
}
