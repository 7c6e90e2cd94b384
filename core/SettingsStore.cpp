#include "core/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace {

const char kGroup[] = "DataApp";

// One row per persisted value, walked by both load and save.
struct TextField
{
    const char* name;
    QByteArray CSettings::Values::*member;
};
struct IntField
{
    const char* name;
    quint32 CSettings::Values::*unsignedMember;
    int CSettings::Values::*flagMember;
};

const TextField kTextFields[] = {
    {"Username", &CSettings::Values::Username},
    {"Password", &CSettings::Values::Password},
    {"WelcomeMSG", &CSettings::Values::WelcomeMSG},
    {"LogoffMSG", &CSettings::Values::LogoffMSG},
    {"SharedFolder", &CSettings::Values::SharedFolder},
    {"SecureFolder", &CSettings::Values::SecureFolder},
    {"SecurePassword", &CSettings::Values::SecurePassword},
    {"TlsCertificate", &CSettings::Values::TlsCertificate},
    {"TlsPrivateKey", &CSettings::Values::TlsPrivateKey},
};
const IntField kIntFields[] = {
    {"ServerPort", &CSettings::Values::ServerPort, nullptr},
    {"MaxUsers", &CSettings::Values::MaxUsers, nullptr},
    {"AllowDownloadFiles", nullptr, &CSettings::Values::AllowDownloadFiles},
    {"AllowUploadFiles", nullptr, &CSettings::Values::AllowUploadFiles},
    {"AllowDeleteFiles", nullptr, &CSettings::Values::AllowDeleteFiles},
    {"AllowRenameFiles", nullptr, &CSettings::Values::AllowRenameFiles},
    {"AllowCreateFolders", nullptr, &CSettings::Values::AllowCreateFolders},
    {"TlsMode", &CSettings::Values::TlsMode, nullptr},
};

// QSettings reads an unquoted comma in a hand-written value as a list: join it back.
QString TextOf(const QVariant& value)
{
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

} // namespace

CSettingsStore::CSettingsStore(QString filePath) : m_filePath(std::move(filePath)) {}

QString CSettingsStore::DefaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Tarvelo FTP Server/tarvelo-ftp.conf");
}

CSettings::Values CSettingsStore::LoadSettings(bool* pWasOpen) const
{
    CSettings::Values values;
    if (pWasOpen)
        *pWasOpen = false;
    if (!QFileInfo::exists(m_filePath))
        return values;
    // It holds passwords: a file copied in readable by others is made the owner's alone at once,
    // not at the next save.
    const QFileDevice::Permissions others =
        QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;
    if (pWasOpen)
        *pWasOpen = (QFile::permissions(m_filePath) & others) != 0;
    QFile::setPermissions(m_filePath, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QSettings store(m_filePath, QSettings::IniFormat);
    store.beginGroup(kGroup);
    for (const TextField& field : kTextFields) {
        if (store.contains(field.name))
            values.*field.member = TextOf(store.value(field.name)).toUtf8();
    }
    // A number that is missing, empty or not a number (a hand-edited file) keeps its default.
    for (const IntField& field : kIntFields) {
        const QString text = TextOf(store.value(field.name)).trimmed();
        bool ok = false;
        if (field.unsignedMember) {
            const quint32 number = text.toUInt(&ok, 10);
            if (ok)
                values.*field.unsignedMember = number;
        } else {
            const int flag = text.toInt(&ok, 10);
            if (ok)
                values.*field.flagMember = flag != 0 ? 1 : 0; // as the check box reads it back
        }
    }
    return values;
}

bool CSettingsStore::PrepareFile() const
{
    // Create the file with mode 0600 before QSettings writes passwords into it.
    QFileInfo info(m_filePath);
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    QFile file(m_filePath);
    if (!file.exists() && !file.open(QIODevice::WriteOnly))
        return false;
    file.close();
    return file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

bool CSettingsStore::SaveSettings(const CSettings::Values& values) const
{
    if (!PrepareFile())
        return false;
    QSettings store(m_filePath, QSettings::IniFormat);
    store.beginGroup(kGroup);
    for (const TextField& field : kTextFields)
        store.setValue(field.name, QString::fromUtf8(values.*field.member));
    for (const IntField& field : kIntFields) {
        if (field.unsignedMember)
            store.setValue(field.name, values.*field.unsignedMember);
        else
            store.setValue(field.name, values.*field.flagMember);
    }
    store.endGroup();
    store.sync();
    return store.status() == QSettings::NoError && PrepareFile();
}

QByteArray CSettingsStore::SaveFailedText() const
{
    return "Unable to save the settings to " + QFile::encodeName(m_filePath);
}

QByteArray CSettingsStore::WasOpenText() const
{
    return "The settings file, which holds passwords, was open to other users; it is now yours alone: " +
           QFile::encodeName(m_filePath);
}

bool CSettingsStore::SaveText(const char* valueName, const QByteArray& value) const
{
    if (!PrepareFile())
        return false;
    QSettings store(m_filePath, QSettings::IniFormat);
    store.beginGroup(kGroup);
    store.setValue(valueName, QString::fromUtf8(value));
    store.endGroup();
    store.sync();
    return store.status() == QSettings::NoError && PrepareFile();
}
