#pragma once

#include <QList>
#include <QMessageBox>
#include <QString>

// The window's message boxes, with a seam for tests. Window's thread only.
//
// In recording mode (tests) no box is shown: each is recorded, and a question takes the next
// answer queued with SetNextAnswer (No when none is queued).
class CMessageBox
{
public:
    struct CShown
    {
        QString text; // as the system words it, "\r\n" included
        QString caption;
        QMessageBox::Icon icon;
    };

    // A box with an OK button; returns when it was closed.
    static void Show(QWidget* parent, const QString& text, const QString& caption, QMessageBox::Icon icon);
    static void ShowWarning(QWidget* parent, const QString& text, const QString& caption)
    {
        Show(parent, text, caption, QMessageBox::Warning);
    }
    // A Yes/No question with the question icon; true for Yes.
    static bool AskYesNo(QWidget* parent, const QString& text, const QString& caption);

    static void SetRecording(bool bRecording);
    static void SetNextAnswer(bool bYes);
    // The boxes recorded since the last call, oldest first.
    static QList<CShown> TakeShown();
};

// The application's name, the caption of its questions: the program file's base name.
QString ApplicationName();
