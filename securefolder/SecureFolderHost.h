#pragma once

#include <QString>

#include <functional>

// What a secure-folder pass needs from the program that runs it: the desktop window, or the
// terminal program tarvelo-cry. Every function is called on the thread running the pass (the
// window's thread), only while a pass runs.
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

    // Runs one file's work (which touches nothing the pass's thread owns) and returns when it is
    // done. The window runs it on a thread aside and serves its events meanwhile, so that a large
    // file does not freeze it; a click dispatched then that asks for another pass is refused (see
    // IsRunning()).
    virtual void RunFileWork(const std::function<void()>& work) = 0;

    // True: the wait cursor; false: the arrow cursor. Idempotent (it does not stack).
    virtual void SetWaitCursor(bool bWait) = 0;
};
