#pragma once

#include "core/Settings.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The command line of tarvelo-ftpd, GNU style ("--port 2121" or "--port=2121"). Each option
// overrides one stored setting for this run only; nothing here is ever saved. The password never
// comes from the command line, where every local user can read it: from a file, or from the
// environment variable kPasswordVariable. Main thread, once per process (getopt_long).
class CServeOptions
{
public:
    static constexpr const char* kPasswordVariable = "TARVELO_FTP_PASSWORD";

    enum class EAction
    {
        Serve,
        Help,
        Version,
        Fault, // Error() says why in one line; nothing may be started
    };

    // Parses the arguments and reads the password file, if one is named.
    EAction Parse(int argc, char* argv[]);
    // Overrides the values given on the command line (and the password from the environment).
    void ApplyTo(CSettings::Values& values) const;

    QString Error() const { return m_strError; }
    // The password file's name when others than its owner may read it; empty otherwise.
    QByteArray OpenPasswordFile() const { return m_strOpenPasswordFile; }
    // The option list of --help, also shown after a fault.
    static QString Usage();

private:
    bool Fault(const QString& reason);
    bool ReadNumber(const char* option, const char* text, quint32 maximum, std::optional<quint32>& number);
    bool ReadPermissions(const char* text);
    bool ReadTlsMode(const char* text);
    bool ReadPasswordFile(const char* path);

    std::optional<quint32> m_port;
    std::optional<quint32> m_maxUsers;
    std::optional<QByteArray> m_root;
    std::optional<QByteArray> m_user;
    std::optional<QByteArray> m_password;
    std::optional<CSettings::Values> m_permissions; // only its five Allow members count
    std::optional<quint32> m_tlsMode;
    std::optional<QByteArray> m_tlsCertificate;
    std::optional<QByteArray> m_tlsKey;
    QString m_strError;
    QByteArray m_strOpenPasswordFile;
};
