#include "core/Settings.h"

CSettings::Values CSettings::Get() const
{
    QMutexLocker locker(&m_lock);
    return m_values;
}

void CSettings::Set(const Values& values)
{
    QMutexLocker locker(&m_lock);
    m_values = values;
}

CSettings::Durations CSettings::GetDurations() const
{
    QMutexLocker locker(&m_lock);
    return m_durations;
}

void CSettings::SetDurations(const Durations& durations)
{
    QMutexLocker locker(&m_lock);
    m_durations = durations;
}

QStringList CSettings::ValuesOutOfBounds(const Values& values)
{
    QStringList reasons;
    const auto number = [&](const char* name, quint32 value, quint32 maximum) {
        if (value > maximum)
            reasons << QStringLiteral("%1 %2 is not an integer between 0 and %3").arg(name).arg(value).arg(maximum);
    };
    const auto text = [&](const char* name, const QByteArray& value, int maxLength) {
        if (QString::fromUtf8(value).size() > maxLength)
            reasons << QStringLiteral("%1 is longer than %2 characters").arg(name).arg(maxLength);
    };
    number("MaxUsers", values.MaxUsers, kMaxUsersBound);
    number("ServerPort", values.ServerPort, kMaxServerPort);
    number("TlsMode", values.TlsMode, kMaxTlsMode);
    text("Username", values.Username, kShortTextLength);
    text("Password", values.Password, kShortTextLength);
    text("WelcomeMSG", values.WelcomeMSG, kMessageLength);
    text("LogoffMSG", values.LogoffMSG, kMessageLength);
    text("SecurePassword", values.SecurePassword, kShortTextLength);
    return reasons;
}
