#include "panel/ShareDialog.h"

#include "connection/VirtualPaths.h"
#include "core/Settings.h"
#include "panel/QrCode.h"

#include <QClipboard>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>

namespace {

constexpr quint32 kFtpPort = 21;
constexpr int kModulePixels = 4; // a phone reads it from an arm's length

QLabel* Note(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    return label;
}

} // namespace

CShareDialog::CShareDialog(const CServed& served, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    setWindowTitle(QStringLiteral("Share"));
    auto* layout = new QGridLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(Note(QStringLiteral("Open an address in an FTP client, or scan its QR code with a phone's file "
                                          "manager. The password is not part of it."),
                           this),
                      0, 0, 1, 2);
    // Port 0 is the system's choice at the start.
    const QString noPort = QStringLiteral("The address is known once the server runs.");
    AddAddress(layout, 0, QStringLiteral("LAN"), QStringLiteral("Lan"), Url(served.LanIP, served.Username, served.Port),
               served.LanIP.isEmpty() ? QStringLiteral("No LAN address was found.") : noPort);
    AddAddress(layout, 1, QStringLiteral("Internet"), QStringLiteral("Internet"),
               Url(served.InternetIP, served.Username, served.Port),
               served.InternetIP.isEmpty() ? QStringLiteral("Not known yet: press \"Get Internet IP:\" in the window.")
                                           : noPort);
    if (!served.Running)
        layout->addWidget(Note(QStringLiteral("The server is stopped: these addresses work once it runs."), this), 2, 0,
                          1, 2);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons, 3, 0, 1, 2);
}

QString CShareDialog::Url(const QByteArray& host, const QByteArray& username, quint32 port)
{
    if (host.isEmpty() || port == 0 || port > CSettings::kMaxServerPort)
        return {};
    QUrl url;
    url.setScheme(QStringLiteral("ftp"));
    if (!username.isEmpty() && !EqualIgnoringAsciiCase(username, "anonymous"))
        url.setUserName(QString::fromUtf8(username), QUrl::DecodedMode);
    url.setHost(QString::fromLatin1(host));
    if (port != kFtpPort)
        url.setPort(int(port));
    url.setPath(QStringLiteral("/"));
    return url.isValid() ? url.toString(QUrl::FullyEncoded) : QString();
}

void CShareDialog::AddAddress(QGridLayout* layout, int column, const QString& title, const QString& name,
                              const QString& url, const QString& missing)
{
    auto* group = new QGroupBox(title, this);
    auto* inside = new QGridLayout(group);
    layout->addWidget(group, 1, column);
    if (url.isEmpty()) {
        inside->addWidget(Note(missing, group), 0, 0);
        return;
    }
    const CQrCode code(url.toUtf8());
    auto* picture = new QLabel(group);
    picture->setObjectName(name + QStringLiteral("Qr"));
    picture->setAlignment(Qt::AlignCenter);
    if (code.IsValid())
        picture->setPixmap(QPixmap::fromImage(code.Image(kModulePixels)));
    else
        picture->setText(QStringLiteral("Unable to draw the QR code: ") + code.ErrorText());
    inside->addWidget(picture, 0, 0, 1, 2);
    auto* address = new QLineEdit(url, group);
    address->setObjectName(name + QStringLiteral("Url"));
    address->setReadOnly(true);
    address->setMinimumWidth(address->fontMetrics().horizontalAdvance(url) +
                             2 * address->fontMetrics().averageCharWidth());
    inside->addWidget(address, 1, 0);
    auto* copy = new QPushButton(QStringLiteral("Copy"), group);
    copy->setObjectName(name + QStringLiteral("Copy"));
    connect(copy, &QPushButton::clicked, this, [url] { QGuiApplication::clipboard()->setText(url); });
    inside->addWidget(copy, 1, 1);
}
