#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <vector>

class QAbstractButton;
class QComboBox;
class QLineEdit;
class QWidget;

// The exchange between a window's controls and the members bound to them (UpdateData), in the
// order of binding. Window's thread only; the members and controls outlive the exchange.
class CDialogExchange
{
public:
    explicit CDialogExchange(QWidget* window) : m_pWindow(window) {}

    // An unsigned number within [minimum, maximum].
    void BindNumber(QLineEdit* edit, quint32* member, quint32 minimum, quint32 maximum);
    // A text of at most maxLength characters (0: no limit). The text is UTF-8 in the member.
    void BindText(QLineEdit* edit, QByteArray* member, int maxLength = 0);
    // A check box: 1 ticked, 0 not.
    void BindCheck(QAbstractButton* box, int* member);
    // A list's choice: the index of its item (a value beyond the items shows the last).
    void BindChoice(QComboBox* box, quint32* member);

    // bRead false: every member into its control, limiting the texts to their lengths.
    // bRead true: every control into its member. The first value that fails its bound or length
    // is prompted for, gets the focus and ends the read: the members after it keep their values
    // (a number out of bounds or a text over length is kept as typed; no number at all is not).
    // False then, true otherwise.
    bool UpdateData(bool bRead);

private:
    enum class EKind
    {
        Number,
        Text,
        Check,
        Choice
    };
    struct CBinding
    {
        EKind kind;
        QWidget* control;
        void* member;
        quint32 minimum = 0;
        quint32 maximum = 0;
        int maxLength = 0;
    };

    void Write(const CBinding& binding) const;
    bool Read(const CBinding& binding) const;
    void Fail(QWidget* control, const QString& prompt) const;

    QWidget* m_pWindow;
    std::vector<CBinding> m_bindings;
};
