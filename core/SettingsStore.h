#pragma once

#include "core/Settings.h"

#include <QString>

// The settings' home on disk: a QSettings INI file, group "DataApp", created with mode 0600
// because it holds passwords in plain text. The default file is
// $XDG_CONFIG_HOME/Tarvelo FTP Server/tarvelo-ftp.conf; tests pass a file of their own.
// Window's thread (or the headless program's main thread).
class CSettingsStore
{
public:
    explicit CSettingsStore(QString filePath = DefaultFilePath());

    static QString DefaultFilePath();
    QString FilePath() const { return m_filePath; }
    // The monitor line for a save that failed.
    QByteArray SaveFailedText() const;

    // Reads the seventeen values. A missing value or store yields the default, and so does a number
    // that is empty or not an unsigned number; a flag other than 0 reads as 1. Writes nothing but
    // the file's mode, which it makes the owner's alone; pWasOpen, when given, tells whether others
    // than the owner could use the file before.
    CSettings::Values LoadSettings(bool* pWasOpen = nullptr) const;
    // The monitor line for a file that others could use.
    QByteArray WasOpenText() const;
    // Writes the seventeen values. False when the store could not be written.
    bool SaveSettings(const CSettings::Values& values) const;
    // Writes one text value, e.g. "SecureFolder" or "SecurePassword". False on failure.
    bool SaveText(const char* valueName, const QByteArray& value) const;

private:
    bool PrepareFile() const;

    QString m_filePath;
};
