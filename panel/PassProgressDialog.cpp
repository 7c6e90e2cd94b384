#include "panel/PassProgressDialog.h"

#include "panel/DialogUnits.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr int kTextWidthDlu = 200; // so that the window does not change its width as the figures grow

} // namespace

CPassProgressDialog::CPassProgressDialog(QWidget* parent, const QString& title)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_pText(new QLabel(this)), m_pBar(new QProgressBar(this)), m_pCancel(new QPushButton(QStringLiteral("Cancel")))
{
    setWindowTitle(title);
    setModal(false);
    m_pText->setMinimumWidth(CDialogUnits(font()).X(kTextWidthDlu));
    m_pBar->setRange(0, 1000);
    m_pBar->setFormat(QStringLiteral("%p%"));
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(m_pCancel, QDialogButtonBox::RejectRole);
    connect(m_pCancel, &QPushButton::clicked, this, &CPassProgressDialog::CancelAsked);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pText);
    layout->addWidget(m_pBar);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void CPassProgressDialog::ShowProgress(const CPassProgress& progress)
{
    m_progress = progress;
    m_pText->setText(progress.Text() +
                     (m_bCancelling ? QStringLiteral("\nStopping once the file in hand is done.") : QString()));
    m_pBar->setValue(progress.PerMille());
}

void CPassProgressDialog::ShowCancelling()
{
    m_bCancelling = true;
    m_pCancel->setEnabled(false);
    ShowProgress(m_progress);
}

QString CPassProgressDialog::Text() const
{
    return m_pText->text();
}

int CPassProgressDialog::Value() const
{
    return m_pBar->value();
}

void CPassProgressDialog::reject()
{
    if (!m_bCancelling)
        Q_EMIT CancelAsked();
}
