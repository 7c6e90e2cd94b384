#include "panel/TrayIcon.h"

#include "panel/MainWindow.h"
#include "panel/Pictures.h"

std::unique_ptr<CTrayIcon> CTrayIcon::Create(CMainWindow& window)
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return nullptr;
    auto tray = std::make_unique<CTrayIcon>(window);
    tray->m_icon.show();
    return tray;
}

CTrayIcon::CTrayIcon(CMainWindow& window) : m_window(window)
{
    m_menu.addAction(QStringLiteral("Show"), this, &CTrayIcon::ShowWindow);
    m_menu.addAction(QStringLiteral("Hide"), &m_window, &QWidget::hide);
    m_menu.addAction(QStringLiteral("Share..."), &m_window, &CMainWindow::ShowShareDialog);
    m_menu.addAction(QStringLiteral("Quit"), &m_window, &CMainWindow::EndWindow);
    m_icon.setIcon(Pictures::Icon(QStringLiteral("tarvelo-ftp")));
    m_icon.setToolTip(QStringLiteral("Tarvelo FTP Server"));
    m_icon.setContextMenu(&m_menu);
    connect(&m_icon, &QSystemTrayIcon::activated, this, &CTrayIcon::OnActivated);
}

void CTrayIcon::OnActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason != QSystemTrayIcon::DoubleClick)
        return;
    ShowWindow();
    m_window.raise();
    m_window.activateWindow();
}

void CTrayIcon::ShowWindow()
{
    m_window.setWindowState(m_window.windowState() & ~Qt::WindowMinimized);
    m_window.show();
}
