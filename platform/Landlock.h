#pragma once

#include "platform/UniqueFd.h"

#include <QtGlobal>

#include <memory>

// Kernel confinement with Linux's Landlock: a thread that restricts itself reaches, on the file
// system, only what its ruleset grants below one folder, whatever paths it names. No privileges
// needed; it binds the calling thread and the threads it starts, never the others of the process.
class CLandlockRuleset
{
public:
    // The rights a ruleset may grant below its folder (the kernel's LANDLOCK_ACCESS_FS_* bits).
    enum ERight : quint64
    {
        WriteFile = 1ULL << 1,
        ReadFile = 1ULL << 2,
        ReadFolder = 1ULL << 3, // open a folder, list its names
        RemoveFolder = 1ULL << 4,
        RemoveFile = 1ULL << 5,
        MakeFolder = 1ULL << 7,
        MakeFile = 1ULL << 8,
        Refer = 1ULL << 13,    // ABI 2: link or rename from one folder to another
        Truncate = 1ULL << 14, // ABI 3: truncate a file, also by its name
    };

    // Any thread: the Landlock ABI version the kernel offers, by the documented probe; 0 when it
    // offers none (errno says why: ENOSYS not built in, EOPNOTSUPP turned off at boot).
    static int Abi();
    // Tests: the probe answers abi instead of the kernel (0: it fails with ENOSYS); a negative
    // value asks the kernel again. Taken by the next Abi and Make.
    static void SimulateAbi(int abi);

    // Any thread: a ruleset that handles every file-system right of the kernel's ABI and grants
    // rights below folder, nothing elsewhere; a folder that cannot be opened as one gets nothing.
    // None when the kernel offers no Landlock or refuses (errno says why).
    static std::shared_ptr<const CLandlockRuleset> Make(const char* folder, quint64 rights);

    explicit CLandlockRuleset(CUniqueFd fd) : m_fd(std::move(fd)) {}

    // Calling thread: gains no privileges by running programs (the kernel's condition), and is
    // confined to the ruleset from now on. False when the kernel refused (errno says why).
    bool RestrictThisThread() const;

private:
    CUniqueFd m_fd;
};
