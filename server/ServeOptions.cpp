#include "server/ServeOptions.h"

#include "core/SettingsStore.h"

#include <QFile>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <sys/stat.h>

namespace {

enum EOption
{
    OptPort = 1,
    OptRoot,
    OptUser,
    OptPasswordFile,
    OptMaxUsers,
    OptAllow,
    OptTls,
    OptTlsCertificate,
    OptTlsKey,
    OptHelp,
    OptVersion,
};

const option kOptions[] = {
    {"port", required_argument, nullptr, OptPort},
    {"root", required_argument, nullptr, OptRoot},
    {"user", required_argument, nullptr, OptUser},
    {"password-file", required_argument, nullptr, OptPasswordFile},
    {"max-users", required_argument, nullptr, OptMaxUsers},
    {"allow", required_argument, nullptr, OptAllow},
    {"tls", required_argument, nullptr, OptTls},
    {"tls-certificate", required_argument, nullptr, OptTlsCertificate},
    {"tls-key", required_argument, nullptr, OptTlsKey},
    {"help", no_argument, nullptr, OptHelp},
    {"version", no_argument, nullptr, OptVersion},
    {nullptr, 0, nullptr, 0},
};

struct CPermission
{
    const char* word;
    int CSettings::Values::*member;
};
const CPermission kPermissions[] = {
    {"download", &CSettings::Values::AllowDownloadFiles}, {"upload", &CSettings::Values::AllowUploadFiles},
    {"delete", &CSettings::Values::AllowDeleteFiles},     {"rename", &CSettings::Values::AllowRenameFiles},
    {"mkdir", &CSettings::Values::AllowCreateFolders},
};

// The words of --tls, in the order of TlsMode's values.
const char* const kTlsModes[] = {"off", "allow", "require"};

} // namespace

CServeOptions::EAction CServeOptions::Parse(int argc, char* argv[])
{
    opterr = 0; // the reasons below name the program the same way every time
    optind = 0; // a full new scan
    const char* passwordFile = nullptr;
    for (;;) {
        // "+": no operands, so parsing stops at the first one; ":": a missing value is told apart.
        int index = -1;
        const int option = getopt_long(argc, argv, "+:", kOptions, &index);
        if (option == -1)
            break;
        // The option as typed: before its "=value", or the word before a separate value.
        const int at = optarg && optarg == argv[optind - 1] ? optind - 2 : optind - 1;
        const QString given = QString::fromLocal8Bit(argv[at]).section(QLatin1Char('='), 0, 0);
        // Whole names only: "--password=x" must not become a password file named "x".
        if (index >= 0 && given != QLatin1String("--") + QLatin1String(kOptions[index].name)) {
            Fault(QStringLiteral("unknown option '%1'").arg(given));
            return EAction::Fault;
        }
        switch (option) {
        case OptPort:
            if (!ReadNumber("--port", optarg, CSettings::kMaxServerPort, m_port))
                return EAction::Fault;
            break;
        case OptMaxUsers:
            if (!ReadNumber("--max-users", optarg, CSettings::kMaxUsersBound, m_maxUsers))
                return EAction::Fault;
            break;
        case OptRoot:
            m_root = QByteArray(optarg);
            break;
        case OptUser:
            m_user = QByteArray(optarg);
            break;
        case OptPasswordFile:
            passwordFile = optarg;
            break;
        case OptAllow:
            if (!ReadPermissions(optarg))
                return EAction::Fault;
            break;
        case OptTls:
            if (!ReadTlsMode(optarg))
                return EAction::Fault;
            break;
        case OptTlsCertificate:
            m_tlsCertificate = QByteArray(optarg);
            break;
        case OptTlsKey:
            m_tlsKey = QByteArray(optarg);
            break;
        case OptHelp:
            return EAction::Help;
        case OptVersion:
            return EAction::Version;
        case ':':
            Fault(QStringLiteral("option '%1' needs a value").arg(given));
            return EAction::Fault;
        default:
            // There are no short options: optopt names the first letter of an unknown one.
            Fault(QStringLiteral("unknown option '%1'").arg(optopt ? QStringLiteral("-") + QChar(optopt) : given));
            return EAction::Fault;
        }
    }
    if (optind < argc) {
        Fault(QStringLiteral("unexpected argument '%1'").arg(QString::fromLocal8Bit(argv[optind])));
        return EAction::Fault;
    }
    if (passwordFile)
        return ReadPasswordFile(passwordFile) ? EAction::Serve : EAction::Fault;
    // An empty variable (as a mistyped "$NAME" leaves it) does not wipe out the stored password.
    if (!qEnvironmentVariableIsEmpty(kPasswordVariable))
        m_password = qgetenv(kPasswordVariable);
    return EAction::Serve;
}

void CServeOptions::ApplyTo(CSettings::Values& values) const
{
    if (m_port)
        values.ServerPort = *m_port;
    if (m_maxUsers)
        values.MaxUsers = *m_maxUsers;
    if (m_root)
        values.SharedFolder = *m_root;
    if (m_user)
        values.Username = *m_user;
    if (m_password)
        values.Password = *m_password;
    if (m_tlsMode)
        values.TlsMode = *m_tlsMode;
    if (m_tlsCertificate)
        values.TlsCertificate = *m_tlsCertificate;
    if (m_tlsKey)
        values.TlsPrivateKey = *m_tlsKey;
    if (m_permissions) {
        for (const CPermission& permission : kPermissions)
            values.*permission.member = (*m_permissions).*permission.member;
    }
}

QString CServeOptions::Usage()
{
    return QStringLiteral(
               "Usage: tarvelo-ftpd [OPTION]...\n"
               "Serve a folder over FTP without a window, until SIGINT or SIGTERM.\n"
               "Each option overrides the stored setting for this run only.\n"
               "\n"
               "  --port N              listen on port N (0 to 65535; 0: the system chooses)\n"
               "  --root DIR            serve the folder DIR\n"
               "  --user NAME           the account's user name (\"anonymous\" takes any password; any other\n"
               "                        name needs one)\n"
               "  --password-file FILE  the account's password: the first line of FILE (\"-\": standard input)\n"
               "  --max-users N         at most N clients at once (0 to 500)\n"
               "  --allow LIST          the permissions, a comma list of download, upload, delete,\n"
               "                        rename and mkdir (empty: browse only)\n"
               "  --tls MODE            encrypted connections (FTPS, AUTH TLS): off, allow or require\n"
               "  --tls-certificate FILE\n"
               "                        the PEM certificate chain (default: one made in the settings folder)\n"
               "  --tls-key FILE        its PEM private key, readable by its owner only (default: in the\n"
               "                        certificate's file)\n"
               "  --help                show this help and exit\n"
               "  --version             show the version and exit\n"
               "\n"
               "The password may also come from the environment variable %1.\n"
               "Settings: %2\n"
               "Exit status: 0 after a signal's clean stop, 1 when the server cannot start, 2 for a bad option.\n")
        .arg(QLatin1String(kPasswordVariable), CSettingsStore::DefaultFilePath());
}

bool CServeOptions::Fault(const QString& reason)
{
    m_strError = reason;
    return false;
}

bool CServeOptions::ReadNumber(const char* option, const char* text, quint32 maximum, std::optional<quint32>& number)
{
    bool ok = false;
    const QByteArray digits(text);
    const quint32 value = digits.toUInt(&ok, 10);
    // Digits only: "+21", " 21" and "0x15" are refused like any other typing error.
    const bool bDigits =
        !digits.isEmpty() && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!ok || !bDigits || value > maximum) {
        return Fault(QStringLiteral("%1: '%2' is not an integer between 0 and %3")
                         .arg(QLatin1String(option), QString::fromLocal8Bit(text))
                         .arg(maximum));
    }
    number = value;
    return true;
}

bool CServeOptions::ReadPermissions(const char* text)
{
    CSettings::Values permissions;
    for (const CPermission& permission : kPermissions)
        permissions.*permission.member = 0;
    const QByteArray list(text);
    for (const QByteArray& word : list.split(',')) {
        if (word.isEmpty() && list.isEmpty())
            break;
        const CPermission* found = std::find_if(std::begin(kPermissions), std::end(kPermissions),
                                                [&](const CPermission& p) { return word == p.word; });
        if (found == std::end(kPermissions)) {
            return Fault(QStringLiteral("--allow: unknown permission '%1' (download, upload, delete, rename, mkdir)")
                             .arg(QString::fromLocal8Bit(word)));
        }
        permissions.*found->member = 1;
    }
    m_permissions = permissions;
    return true;
}

bool CServeOptions::ReadTlsMode(const char* text)
{
    const auto found = std::find_if(std::begin(kTlsModes), std::end(kTlsModes),
                                    [&](const char* word) { return strcmp(word, text) == 0; });
    if (found == std::end(kTlsModes))
        return Fault(QStringLiteral("--tls: '%1' is not off, allow or require").arg(QString::fromLocal8Bit(text)));
    m_tlsMode = quint32(found - std::begin(kTlsModes));
    return true;
}

bool CServeOptions::ReadPasswordFile(const char* path)
{
    QFile file;
    bool bOpened = false;
    if (strcmp(path, "-") == 0) {
        bOpened = file.open(stdin, QIODevice::ReadOnly);
    } else {
        file.setFileName(QFile::decodeName(path));
        bOpened = file.open(QIODevice::ReadOnly);
    }
    QByteArray line = bOpened ? file.readLine() : QByteArray();
    if (!bOpened || file.error() != QFileDevice::NoError) {
        return Fault(QStringLiteral("--password-file: cannot read '%1': %2")
                         .arg(QString::fromLocal8Bit(path), file.errorString()));
    }
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty()) // an empty password would let anyone in who knows the name
        return Fault(
            QStringLiteral("--password-file: the first line of '%1' is empty").arg(QString::fromLocal8Bit(path)));
    m_password = line;
    // SECURITY: the password guards the served folder; a file others can read gives it away.
    struct stat status;
    if (strcmp(path, "-") != 0 && ::fstat(file.handle(), &status) == 0 && S_ISREG(status.st_mode) &&
        (status.st_mode & (S_IRGRP | S_IROTH)) != 0)
        m_strOpenPasswordFile = path;
    return true;
}
