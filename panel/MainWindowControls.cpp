#include "panel/MainWindowControls.h"

#include "panel/DialogUnits.h"
#include "panel/MonitorPane.h"
#include "panel/Pictures.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QToolButton>

#include <vector>

namespace {

// The password boxes mask every character as "*", not with the style's dot.
void MaskWithStars(QLineEdit* edit)
{
    edit->setEchoMode(QLineEdit::Password);
    edit->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
}

constexpr int kWindowWidthDlu = 400;
constexpr int kWindowHeightDlu = 176;
constexpr int kButtonPicture = 16;
constexpr int kButtonPadding = 14; // frame and margins of a push button's text

// Creates the controls with their dialog-unit places; Finish places them all once the base units
// have been widened for every text (fonts differ in their proportions).
class CPlacer
{
public:
    explicit CPlacer(QDialog* window) : m_pWindow(window) {}

    template <typename T> T* Place(T* widget, const char* name, int x, int y, int w, int h)
    {
        widget->setObjectName(QLatin1String(name));
        m_placed.push_back({widget, QRect(x, y, w, h)});
        return widget;
    }

    QLabel* Label(const char* text, int x, int y, int w, int h)
    {
        auto* label = Place(new QLabel(QString::fromLatin1(text), m_pWindow), "", x, y, w, h);
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        return label;
    }

    void Group(const char* title, int x, int y, int w, int h)
    {
        Place(new QGroupBox(QString::fromLatin1(title), m_pWindow), "", x, y, w, h);
    }

    QLineEdit* Edit(const char* name, int x, int y, int w, int h)
    {
        return Place(new QLineEdit(m_pWindow), name, x, y, w, h);
    }

    QLineEdit* ReadOnly(const char* name, int x, int y, int w, int h)
    {
        QLineEdit* edit = Edit(name, x, y, w, h);
        edit->setReadOnly(true);
        return edit;
    }

    QLineEdit* Digits(const char* name, int x, int y, int w, int h)
    {
        QLineEdit* edit = Edit(name, x, y, w, h);
        edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
        return edit;
    }

    QCheckBox* Check(const char* name, const char* text, int x, int y, int w, int h)
    {
        return Place(new QCheckBox(QString::fromLatin1(text), m_pWindow), name, x, y, w, h);
    }

    QPushButton* Button(const char* name, const char* text, int x, int y, int w, int h)
    {
        return Place(new QPushButton(QString::fromLatin1(text), m_pWindow), name, x, y, w, h);
    }

    QToolButton* PictureButton(const char* name, const char* picture, const char* tip, int x, int y, int w, int h)
    {
        auto* button = Place(new QToolButton(m_pWindow), name, x, y, w, h);
        button->setIcon(Pictures::Icon(QString::fromLatin1(picture)));
        button->setToolTip(QString::fromLatin1(tip));
        button->setFocusPolicy(Qt::StrongFocus);
        return button;
    }

    // The base units, widened so that every label and button shows its whole text.
    CDialogUnits FittedUnits() const
    {
        CDialogUnits units(m_pWindow->font());
        for (const auto& [widget, dlu] : m_placed) {
            if (const auto* label = qobject_cast<QLabel*>(widget); label && !label->text().isEmpty())
                units.FitWidth(label->sizeHint().width(), dlu.width());
            if (const auto* button = qobject_cast<QPushButton*>(widget))
                units.FitWidth(button->fontMetrics().horizontalAdvance(button->text()) + kButtonPadding +
                                   (button->icon().isNull() ? 0 : kButtonPicture),
                               dlu.width());
        }
        return units;
    }

    void Finish(const CDialogUnits& units) const
    {
        for (const auto& [widget, dlu] : m_placed) {
            widget->setGeometry(units.Rect(dlu.x(), dlu.y(), dlu.width(), dlu.height()));
            // A check box's indicator is wider than the original's: it may reach into the free
            // space on its right.
            if (qobject_cast<QCheckBox*>(widget))
                widget->resize(std::max(widget->width(), widget->sizeHint().width()), widget->height());
            if (auto* button = qobject_cast<QToolButton*>(widget)) {
                const int side = std::min({kButtonPicture, button->width() - 2, button->height() - 2});
                button->setIconSize(QSize(side, side));
            }
            if (qobject_cast<QGroupBox*>(widget))
                widget->lower();
        }
    }

private:
    struct CPlaced
    {
        QWidget* widget;
        QRect dlu;
    };
    QDialog* m_pWindow;
    std::vector<CPlaced> m_placed;
};

} // namespace

void CMainWindowControls::Build(QDialog* window)
{
    CPlacer p(window);

    p.Group("Server permissions", 226, 8, 71, 68);
    p.Group("Server monitor", 4, 71, 159, 76);
    p.Group("Server folders", 168, 80, 225, 65);

    p.Label("Server port:", 4, 9, 42, 8);
    ServerPort = p.Digits("ServerPort", 43, 7, 28, 12);
    p.Label("Max. users:", 88, 9, 38, 8);
    MaxUsers = p.Digits("MaxUsers", 125, 7, 30, 12);
    // In the free space before the permissions, so that every other control keeps its place.
    p.Label("TLS:", 158, 9, 15, 8);
    TlsMode = p.Place(new QComboBox(window), "TlsMode", 173, 7, 50, 12);
    TlsMode->addItems({QStringLiteral("Off"), QStringLiteral("Allowed"), QStringLiteral("Required")});
    TlsMode->setToolTip(QStringLiteral("Encrypted connections (FTPS): off, allowed or required"));
    p.Label("Username:", 4, 25, 36, 8);
    Username = p.Edit("Username", 39, 23, 56, 12);
    p.Label("Password:", 104, 25, 35, 8);
    Password = p.Edit("Password", 137, 23, 56, 12);
    MaskWithStars(Password);
    HidePassword = p.Check("HidePassword", "Hide", 196, 25, 24, 8);
    p.Label("Wellcome msg:", 4, 41, 50, 8);
    WelcomeMSG = p.Edit("WelcomeMSG", 54, 39, 162, 12);
    p.Label("Logoff msg:", 4, 57, 39, 8);
    LogoffMSG = p.Edit("LogoffMSG", 54, 55, 162, 12);

    AllowDownloadFiles = p.Check("AllowDownloadFiles", "Download files", 229, 18, 59, 10);
    AllowUploadFiles = p.Check("AllowUploadFiles", "Upload files", 229, 29, 49, 10);
    AllowDeleteFiles = p.Check("AllowDeleteFiles", "Delete files", 229, 40, 44, 10);
    AllowRenameFiles = p.Check("AllowRenameFiles", "Rename files", 229, 51, 52, 10);
    AllowCreateFolders = p.Check("AllowCreateFolders", "Create folders", 229, 62, 56, 10);

    Logo = p.Place(new QLabel(window), "Logo", 303, 27, 89, 42);
    Logo->setAlignment(Qt::AlignCenter);
    WebPage = p.PictureButton("WebPage", "house", "Web page", 357, 5, 10, 10);
    About = p.PictureButton("About", "person", "About", 372, 5, 10, 10);
    Help = p.PictureButton("Help", "info", "Help", 387, 5, 10, 10);

    Monitor = p.Place(new CMonitorPane(window), "Monitor", 6, 81, 155, 64);

    RootFolder = p.Button("RootFolder", "Root folder:", 173, 92, 51, 12);
    SharedFolder = p.ReadOnly("SharedFolder", 225, 92, 150, 12);
    OpenRootFolder = p.PictureButton("OpenRootFolder", "folder", "Open the root folder", 377, 94, 10, 10);
    SecureFolderButton = p.Button("SecureFolderButton", "Secure folder:", 173, 111, 51, 12);
    SecureFolder = p.ReadOnly("SecureFolder", 225, 111, 150, 12);
    OpenSecureFolder = p.PictureButton("OpenSecureFolder", "folder", "Open the secure folder", 377, 113, 10, 10);
    p.Label("CryPassword:", 173, 129, 44, 8);
    CryPassword = p.Edit("CryPassword", 217, 127, 56, 12);
    MaskWithStars(CryPassword);
    HideCryPassword = p.Check("HideCryPassword", "Hide", 276, 129, 24, 8);
    Encrypt = p.Button("Encrypt", "Encrypt", 306, 126, 37, 12);
    Decrypt = p.Button("Decrypt", "Decrypt", 350, 126, 37, 12);

    Start = p.Button("Start", " Start server", 4, 152, 54, 18);
    Start->setIcon(Pictures::Icon(QStringLiteral("start")));
    Start->setDefault(true);
    Stop = p.Button("Stop", " Stop server", 4, 152, 54, 18);
    Stop->setIcon(Pictures::Icon(QStringLiteral("stop")));
    Stop->setEnabled(false);
    Stop->hide();

    p.Label("LAN IP:", 67, 158, 26, 8);
    LanIP = p.ReadOnly("LanIP", 93, 156, 60, 12);
    // In the gap before "Get Internet IP:", so that every other control keeps its place.
    Share = p.PictureButton("Share", "share", "Share the server's address", 154, 157, 8, 10);
    GetInternetIP = p.Button("GetInternetIP", "Get Internet IP:", 163, 156, 55, 12);
    InternetIP = p.ReadOnly("InternetIP", 219, 156, 60, 12);
    p.Label("Connected users:", 290, 158, 56, 8);
    ConnectedUsers = p.ReadOnly("ConnectedUsers", 345, 156, 30, 12);

    QWidget* const order[] = {ServerPort,
                              MaxUsers,
                              TlsMode,
                              Username,
                              Password,
                              WelcomeMSG,
                              LogoffMSG,
                              SharedFolder,
                              SecureFolderButton,
                              AllowDownloadFiles,
                              AllowUploadFiles,
                              AllowRenameFiles,
                              AllowDeleteFiles,
                              AllowCreateFolders,
                              Start,
                              Stop,
                              GetInternetIP,
                              InternetIP,
                              RootFolder,
                              SecureFolder,
                              Encrypt,
                              Decrypt,
                              CryPassword,
                              HidePassword,
                              HideCryPassword,
                              LanIP,
                              Share,
                              ConnectedUsers,
                              About,
                              WebPage,
                              OpenRootFolder,
                              OpenSecureFolder,
                              Monitor,
                              Help};
    for (size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);

    const CDialogUnits units = p.FittedUnits();
    p.Finish(units);
    window->setFixedSize(units.X(kWindowWidthDlu), units.Y(kWindowHeightDlu));
    Logo->setPixmap(Pictures::Render(QStringLiteral("logo"), Logo->size(), window->devicePixelRatioF()));
}
