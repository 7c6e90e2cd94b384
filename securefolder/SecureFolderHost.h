#pragma once

#include <QString>

// What a secure-folder pass needs from the program that runs it: the desktop window, or the
// terminal program tarvelo-cry. Every function is called on the thread running the pass (the
// window's thread), only while a pass runs: the questions while it starts, the cursor at its
// start and before its summary.
class ISecureFolderHost
{
public:
    virtual ~ISecureFolderHost() = default;

    // A warning box with the exclamation icon, owned by the window; returns when the user closed it.
    // The text keeps the system's own line breaks ("\r\n").
    virtual void ShowWarning(const QString& text, const QString& caption) = 0;

    // A Yes/No question with the question icon, titled with the application's name. True for Yes.
    virtual bool AskYesNo(const QString& text) = 0;

    // Reads the window's controls back into the settings record (the window's UpdateData(true)).
    // A failed read-back has already told the user; the pass goes on whatever the result is.
    virtual bool ReadBackControls() = 0;

    // True: the wait cursor, while the pass works on its files; false: the arrow cursor, before its
    // summary. Idempotent (it does not stack).
    virtual void SetWaitCursor(bool bWait) = 0;
};
