#include "panel/DialogExchange.h"

#include "panel/MessageBoxes.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>

#include <algorithm>

void CDialogExchange::BindNumber(QLineEdit* edit, quint32* member, quint32 minimum, quint32 maximum)
{
    m_bindings.push_back({EKind::Number, edit, member, minimum, maximum, 0});
}

void CDialogExchange::BindText(QLineEdit* edit, QByteArray* member, int maxLength)
{
    m_bindings.push_back({EKind::Text, edit, member, 0, 0, maxLength});
}

void CDialogExchange::BindCheck(QAbstractButton* box, int* member)
{
    m_bindings.push_back({EKind::Check, box, member, 0, 0, 0});
}

void CDialogExchange::BindChoice(QComboBox* box, quint32* member)
{
    m_bindings.push_back({EKind::Choice, box, member, 0, 0, 0});
}

bool CDialogExchange::UpdateData(bool bRead)
{
    for (const CBinding& binding : m_bindings) {
        if (!bRead)
            Write(binding);
        else if (!Read(binding))
            return false;
    }
    return true;
}

void CDialogExchange::Write(const CBinding& binding) const
{
    switch (binding.kind) {
    case EKind::Number:
        static_cast<QLineEdit*>(binding.control)->setText(QString::number(*static_cast<quint32*>(binding.member)));
        break;
    case EKind::Text: {
        auto* edit = static_cast<QLineEdit*>(binding.control);
        const QString text = QString::fromUtf8(*static_cast<QByteArray*>(binding.member));
        // A stored text over its length is shown whole; the next read then reports it.
        edit->setMaxLength(binding.maxLength > 0 ? std::max(binding.maxLength, int(text.size())) : 32767);
        edit->setText(text);
        break;
    }
    case EKind::Check:
        static_cast<QAbstractButton*>(binding.control)->setChecked(*static_cast<int*>(binding.member) != 0);
        break;
    case EKind::Choice: {
        auto* box = static_cast<QComboBox*>(binding.control);
        box->setCurrentIndex(int(qMin<quint32>(*static_cast<quint32*>(binding.member), quint32(box->count() - 1))));
        break;
    }
    }
}

bool CDialogExchange::Read(const CBinding& binding) const
{
    switch (binding.kind) {
    case EKind::Number: {
        auto* edit = static_cast<QLineEdit*>(binding.control);
        bool ok = false;
        const quint32 value = edit->text().trimmed().toUInt(&ok, 10);
        if (!ok) {
            Fail(edit, QStringLiteral("Please enter a positive integer."));
            return false;
        }
        *static_cast<quint32*>(binding.member) = value;
        if (value < binding.minimum || value > binding.maximum) {
            Fail(
                edit,
                QStringLiteral("Please enter an integer between %1 and %2.").arg(binding.minimum).arg(binding.maximum));
            return false;
        }
        return true;
    }
    case EKind::Text: {
        auto* edit = static_cast<QLineEdit*>(binding.control);
        auto* member = static_cast<QByteArray*>(binding.member);
        const QString text = edit->text();
        // An unchanged text keeps its bytes: a path that is not UTF-8 survives the round trip.
        if (text != QString::fromUtf8(*member))
            *member = text.toUtf8();
        if (binding.maxLength > 0 && text.size() > binding.maxLength) {
            Fail(edit, QStringLiteral("Please enter no more than %1 characters.").arg(binding.maxLength));
            return false;
        }
        return true;
    }
    case EKind::Check:
        *static_cast<int*>(binding.member) = static_cast<QAbstractButton*>(binding.control)->isChecked() ? 1 : 0;
        return true;
    case EKind::Choice:
        *static_cast<quint32*>(binding.member) = quint32(static_cast<QComboBox*>(binding.control)->currentIndex());
        return true;
    }
    return true;
}

void CDialogExchange::Fail(QWidget* control, const QString& prompt) const
{
    CMessageBox::ShowWarning(m_pWindow, prompt, ApplicationName());
    control->setFocus(Qt::OtherFocusReason);
    if (auto* edit = qobject_cast<QLineEdit*>(control))
        edit->selectAll();
}
