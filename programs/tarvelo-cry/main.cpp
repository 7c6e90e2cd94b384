// tarvelo-cry: the secure folder's passes from a terminal, for machines without a display and for
// people who received ".cry" files. `tarvelo-cry encrypt FOLDER` or `tarvelo-cry decrypt FOLDER`.
// The CryPassword comes from the terminal without echo (twice, to encrypt), or from standard input
// when that is not a terminal, and is never stored. The summary lines go to standard output; the
// progress shows on standard error when that is a terminal. SIGINT, SIGTERM or SIGHUP stop the
// pass once the file in hand is done.

#include "core/ServerMonitor.h"
#include "core/Settings.h"
#include "core/StdoutMonitorSink.h"
#include "platform/TerminationSignals.h"
#include "securefolder/SecureFolderHost.h"
#include "securefolder/SecureFolderPasses.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <termios.h>
#include <unistd.h>

namespace {

bool StdinIsTerminal()
{
    return isatty(STDIN_FILENO);
}

// Reads one line from standard input, without echo when it is a terminal.
QByteArray ReadPassword(const char* prompt = "CryPassword: ")
{
    termios saved = {};
    const bool bTerminal = StdinIsTerminal() && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (bTerminal) {
        // Quiet before the prompt shows: the flush of earlier input must not take what is typed
        // once the prompt is there.
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        fputs(prompt, stderr);
        fflush(stderr);
    }
    QByteArray line;
    for (int c = fgetc(stdin); c != EOF && c != '\n'; c = fgetc(stdin))
        line.append(char(c));
    if (line.endsWith('\r'))
        line.chop(1);
    if (bTerminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        fputc('\n', stderr);
    }
    return line;
}

// The terminal's side of a pass: warnings to standard error, the question answered yes, the
// password read when the window would read its controls back, and the progress line on standard
// error when it is a terminal, where the window shows its wait cursor.
class CTerminalHost : public ISecureFolderHost
{
public:
    CTerminalHost(CSettings& settings, bool bConfirm) : m_settings(settings), m_bConfirm(bConfirm) {}

    // Overwrites the progress line in place; short enough for 80 columns, where \r reaches its start.
    void ShowProgress(const CPassProgress& progress)
    {
        if (!m_bProgressLine)
            return;
        fprintf(stderr, "\r\x1b[Ktarvelo-cry: %s (%d%%)%s", qPrintable(progress.Text()), progress.PerMille() / 10,
                m_bStopping ? ", stopping" : "");
        m_bProgressShown = true;
    }
    void ShowStopping(const CPassProgress& progress)
    {
        m_bStopping = true;
        ShowProgress(progress);
    }

    void ShowWarning(const QString& text, const QString& caption) override
    {
        QString shown = text;
        shown.remove(QLatin1Char('\r'));
        fprintf(stderr, "tarvelo-cry: %s: %s\n", qPrintable(caption), qPrintable(shown));
    }
    bool AskYesNo(const QString&) override { return true; }
    bool ReadBackControls() override
    {
        const QByteArray password = ReadPassword();
        // A slip of the fingers at an unseen prompt would encrypt every file under a password
        // nobody knows, and remove the originals: typed twice, the two must agree.
        if (m_bConfirm && StdinIsTerminal() && ReadPassword("CryPassword again: ") != password) {
            ShowWarning("The two passwords differ; nothing was encrypted.", "CryPassword");
            std::exit(3);
        }
        m_settings.Update([&](CSettings::Values& v) { v.SecurePassword = password; });
        return true;
    }
    // The progress line goes before the summary comes.
    void SetWaitCursor(bool bWait) override
    {
        if (bWait || !m_bProgressShown)
            return;
        fputs("\r\x1b[K", stderr);
        m_bProgressShown = false;
    }

private:
    CSettings& m_settings;
    bool m_bConfirm; // encryption from a terminal: the password is asked twice
    const bool m_bProgressLine = isatty(STDERR_FILENO);
    bool m_bProgressShown = false;
    bool m_bStopping = false; // a signal asked the pass to stop
};

// The exit status of a pass's end.
int ExitStatus(CSecureFolderPasses::EOutcome outcome)
{
    switch (outcome) {
    case CSecureFolderPasses::EOutcome::Completed:
        return 0;
    case CSecureFolderPasses::EOutcome::Incomplete:
        return 4;
    case CSecureFolderPasses::EOutcome::Failed:
        break;
    }
    return 1;
}

const char kUsage[] = "Usage: tarvelo-cry encrypt FOLDER\n"
                      "       tarvelo-cry decrypt FOLDER\n"
                      "Encrypt every plain file of FOLDER into a .cry file, or decrypt every .cry file back.\n"
                      "The CryPassword is read from the terminal without echo (twice to encrypt), or from\n"
                      "standard input.\n"
                      "\n"
                      "  --help     show this help and exit\n"
                      "  --version  show the version and exit\n"
                      "\n"
                      "Exit status: 0 when the pass did every file, 1 when the key derivation failed,\n"
                      "2 for a bad command line, 3 when a warning stopped the pass, 4 when the pass went\n"
                      "over the folder but left files undone (failed, skipped, kept in .cry form, or left\n"
                      "by Ctrl+C, which stops the pass once the file in hand is done).\n";

int Usage(const char* reason, const char* given = "")
{
    fprintf(stderr, "tarvelo-cry: %s%s\n%s", reason, given, kUsage);
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        puts("tarvelo-cry (Tarvelo FTP Server) " TARVELO_VERSION);
        return 0;
    }
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return Usage(argc < 3 ? "a command and a folder are needed" : "too many arguments");
    const bool bEncrypt = strcmp(argv[1], "encrypt") == 0;
    if (!bEncrypt && strcmp(argv[1], "decrypt") != 0)
        return Usage("unknown command: ", argv[1]);

    CSettings::Values values;
    values.SecureFolder = QByteArray(argv[2]);
    values.SecurePassword.clear();
    CSettings settings(values);
    CStdoutMonitorSink sink;
    CServerMonitor monitor(&sink);
    CTerminalHost host(settings, bEncrypt);
    CSecureFolderPasses passes(settings, nullptr, monitor, host);

    if ((bEncrypt ? passes.OnEncrypt() : passes.OnDecrypt()) != CSecureFolderPasses::EStart::Started)
        return 3;
    // The pass runs on; its end ends the program.
    QObject::connect(&passes, &CSecureFolderPasses::Finished, &app,
                     [&app](CSecureFolderPasses::EOutcome outcome) { app.exit(ExitStatus(outcome)); });
    // Only now: a Ctrl+C at the password's prompt still ends the program at once. A second signal
    // does so too, leaving the file in hand as it was.
    const CTerminationSignals stop([&passes, &host] {
        passes.Cancel();
        host.ShowStopping(passes.Progress());
        for (const int each : {SIGINT, SIGTERM, SIGHUP})
            signal(each, SIG_DFL);
    });
    if (!stop.IsValid())
        perror("tarvelo-cry: signal pipe"); // the pass goes on, unstoppable but for a kill
    QObject::connect(&passes, &CSecureFolderPasses::ProgressChanged, &app,
                     [&] { host.ShowProgress(passes.Progress()); });
    host.ShowProgress(passes.Progress());
    return app.exec();
}
