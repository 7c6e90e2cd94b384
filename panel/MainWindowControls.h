#pragma once

class CMonitorPane;
class QCheckBox;
class QComboBox;
class QDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

// The controls of the main window, created and placed from their dialog-unit layout with their
// texts, pictures, input rules and tab order. Window's thread only; the window owns the widgets.
struct CMainWindowControls
{
    QLineEdit* ServerPort = nullptr;
    QLineEdit* MaxUsers = nullptr;
    QComboBox* TlsMode = nullptr; // encrypted connections: off, allowed, required
    QLineEdit* Username = nullptr;
    QLineEdit* Password = nullptr;
    QCheckBox* HidePassword = nullptr;
    QLineEdit* WelcomeMSG = nullptr;
    QLineEdit* LogoffMSG = nullptr;
    QCheckBox* AllowDownloadFiles = nullptr;
    QCheckBox* AllowUploadFiles = nullptr;
    QCheckBox* AllowDeleteFiles = nullptr;
    QCheckBox* AllowRenameFiles = nullptr;
    QCheckBox* AllowCreateFolders = nullptr;
    QLabel* Logo = nullptr;
    QToolButton* WebPage = nullptr;
    QToolButton* About = nullptr;
    QToolButton* Help = nullptr;
    CMonitorPane* Monitor = nullptr;
    QPushButton* RootFolder = nullptr;
    QLineEdit* SharedFolder = nullptr;
    QToolButton* OpenRootFolder = nullptr;
    QPushButton* SecureFolderButton = nullptr;
    QLineEdit* SecureFolder = nullptr;
    QToolButton* OpenSecureFolder = nullptr;
    QLineEdit* CryPassword = nullptr;
    QCheckBox* HideCryPassword = nullptr;
    QPushButton* Encrypt = nullptr;
    QPushButton* Decrypt = nullptr;
    QPushButton* Start = nullptr;
    QPushButton* Stop = nullptr;
    QLineEdit* LanIP = nullptr;
    QToolButton* Share = nullptr; // the share dialog
    QPushButton* GetInternetIP = nullptr;
    QLineEdit* InternetIP = nullptr;
    QLineEdit* ConnectedUsers = nullptr;

    // Creates every control on the window from its dialog-unit place and sizes the window (fixed)
    // to 400 by 176 dialog units. The base units are the window font's, the horizontal one widened
    // where a label's or a button's text would not fit.
    void Build(QDialog* window);
};
