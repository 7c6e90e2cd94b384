#pragma once

#include "securefolder/SecureFolderPasses.h"

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;

// The progress of a secure-folder pass, in a small window of its own over the main window: not
// modal, so the main window stays usable and its controls stay where they are. Cancel, Esc or
// closing this window asks the pass to stop once the file in hand is done; the window says so
// until the pass has ended. Window's thread only.
class CPassProgressDialog : public QDialog
{
    Q_OBJECT
public:
    CPassProgressDialog(QWidget* parent, const QString& title);

    void ShowProgress(const CPassProgress& progress);
    // The pass stops once the file in hand is done: said so, and Cancel is off.
    void ShowCancelling();

    QString Text() const;
    // Of 1000.
    int Value() const;
    QPushButton* CancelButton() const { return m_pCancel; }

Q_SIGNALS:
    void CancelAsked();

protected:
    // Esc and closing this window: as Cancel; the window stays until the pass has ended.
    void reject() override;

private:
    QLabel* m_pText;
    QProgressBar* m_pBar;
    QPushButton* m_pCancel;
    CPassProgress m_progress;
    bool m_bCancelling = false;
};
