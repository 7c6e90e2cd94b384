#pragma once

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include <memory>

class CMainWindow;

// The notification-area icon "Tarvelo FTP Server" with its menu "Show", "Hide", "Share...", "Quit";
// a double-click brings the window to the front. Window's thread only.
class CTrayIcon : public QObject
{
    Q_OBJECT
public:
    // The shown icon, or null when the desktop has no notification area (the window then stays
    // on the taskbar and the menu is not needed).
    static std::unique_ptr<CTrayIcon> Create(CMainWindow& window);

    // Builds the icon and its menu without showing it.
    explicit CTrayIcon(CMainWindow& window);

    QSystemTrayIcon& Icon() { return m_icon; }
    QMenu& Menu() { return m_menu; }
    // The icon's clicks: a double-click shows the window and brings it to the front.
    void OnActivated(QSystemTrayIcon::ActivationReason reason);

private:
    void ShowWindow();

    CMainWindow& m_window;
    QMenu m_menu;
    QSystemTrayIcon m_icon;
};
