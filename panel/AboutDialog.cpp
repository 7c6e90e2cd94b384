#include "panel/AboutDialog.h"

#include "panel/DialogUnits.h"
#include "panel/HelpText.h"
#include "panel/Pictures.h"

#include <QLabel>
#include <QPushButton>

namespace {

constexpr int kIconSide = 32;

QLabel* AddLabel(QDialog* box, const QString& text, QRect place)
{
    auto* label = new QLabel(text, box);
    label->setGeometry(place);
    label->resize(std::max(label->width(), label->sizeHint().width()), label->height());
    return label;
}

} // namespace

CAboutDialog::CAboutDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    const CDialogUnits units(font());
    setWindowTitle(QStringLiteral("Tarvelo FTP Server"));
    setFixedSize(units.X(189), units.Y(90));

    auto* icon = new QLabel(this);
    icon->setGeometry(units.X(14), units.Y(16), kIconSide, kIconSide);
    icon->setPixmap(Pictures::Render(QStringLiteral("tarvelo-ftp"), QSize(kIconSide, kIconSide), devicePixelRatioF()));

    AddLabel(this, QStringLiteral("Tarvelo FTP Server v1.1b"), units.Rect(40, 10, 87, 8));
    AddLabel(this, QStringLiteral("Crypto++ encryption algorithms:"), units.Rect(40, 46, 98, 8));
    QLabel* address =
        AddLabel(this, QStringLiteral("<a href=\"%1\">%1</a>").arg(CryptoppUrl()), units.Rect(40, 54, 86, 8));
    address->setOpenExternalLinks(true);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setGeometry(units.Rect(145, 69, 37, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
