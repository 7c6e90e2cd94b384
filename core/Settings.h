#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QStringList>

// The user's configuration: seventeen persisted values plus the fixed durations.
//
// Written on the window's thread, read by every connection thread at the moment it needs a value.
// Every member is guarded by m_lock, and the accessors hand out copies, so a reader never sees a
// text half-replaced by the window's read-back. Text values are bytes (UTF-8 from the window).
class CSettings
{
public:
    // The persisted values, in the order they are loaded and saved.
    struct Values
    {
        QByteArray Username = "anonymous";
        QByteArray Password;
        QByteArray WelcomeMSG = "Welcome to my FTP Server";
        QByteArray LogoffMSG = "Have a nice day";
        QByteArray SharedFolder = "./RootFolder/";
        QByteArray SecureFolder = "./RootFolder/SecureFolder/";
        QByteArray SecurePassword = "marblet";
        quint32 ServerPort = 21;
        quint32 MaxUsers = 50;
        int AllowDownloadFiles = 1;
        int AllowUploadFiles = 1;
        int AllowDeleteFiles = 0;
        int AllowRenameFiles = 0;
        int AllowCreateFolders = 0;
        quint32 TlsMode = 0;            // encrypted connections (ETlsMode): 0 off, 1 allowed, 2 required
        QByteArray TlsCertificate = {}; // PEM chain; empty: the one made in the settings folder
        QByteArray TlsPrivateKey = {};  // PEM key; empty: in the certificate's file (or the one made)
    };

    // What TlsMode asks for; a value above 2 is taken as required, never as less.
    enum class ETlsMode
    {
        Off,
        Allowed,
        Required
    };
    static ETlsMode TlsModeOf(const Values& values)
    {
        return values.TlsMode == 0 ? ETlsMode::Off : values.TlsMode == 1 ? ETlsMode::Allowed : ETlsMode::Required;
    }

    // The bounds the window's read-back holds the values to.
    static constexpr quint32 kMaxServerPort = 65535;
    static constexpr quint32 kMaxUsersBound = 500;
    static constexpr quint32 kMaxTlsMode = 2;
    static constexpr int kShortTextLength = 22; // Username, Password, SecurePassword
    static constexpr int kMessageLength = 128;  // WelcomeMSG, LogoffMSG

    // Every value out of those bounds, in the read-back's order, one reason each, such as
    // "MaxUsers 501 is not an integer between 0 and 500". Empty when all are within them.
    static QStringList ValuesOutOfBounds(const Values& values);

    // The waits of the protocol, in one place: the product keeps these values, tests shorten them.
    struct Durations
    {
        qint64 IdleTimeoutMs = 10 * 60 * 1000; // silence after which a client is dropped
        int DataWaitMs = 10000;                // LIST, RETR and STOR wait this long for the data connection
        int LoginFailureDelayMs = 1000;        // a refused password is answered this late
        int LoginTimeLimitMs = 60 * 1000;      // a client not logged in this long after its arrival is dropped
        qint64 BanWindowMs = 10 * 60 * 1000;   // failed logins from one address counted together
        qint64 BanMs = 10 * 60 * 1000;         // how long an address that failed too often is turned away
    };

    // The start rule of the account: an empty user name becomes "anonymous". True when it changed.
    static bool ApplyAnonymousRule(Values& values)
    {
        if (!values.Username.isEmpty())
            return false;
        values.Username = "anonymous";
        return true;
    }

    CSettings() = default;
    explicit CSettings(const Values& values) : m_values(values) {}

    // Any thread: a consistent copy of every value.
    Values Get() const;
    // Any thread (the window's in practice): replaces every value at once.
    void Set(const Values& values);
    // Any thread: changes one value under the lock, e.g. Update([](Values& v) { v.MaxUsers = 2; }).
    template <typename F> void Update(F&& change)
    {
        QMutexLocker locker(&m_lock);
        change(m_values);
    }

    // Any thread: single values, read at the moment they are needed.
    QByteArray Username() const { return Get().Username; }
    QByteArray Password() const { return Get().Password; }
    QByteArray WelcomeMSG() const { return Get().WelcomeMSG; }
    QByteArray LogoffMSG() const { return Get().LogoffMSG; }
    QByteArray SharedFolder() const { return Get().SharedFolder; }
    quint32 MaxUsers() const { return Get().MaxUsers; }

    // Any thread.
    Durations GetDurations() const;
    void SetDurations(const Durations& durations);

private:
    mutable QMutex m_lock;
    Values m_values;       // guarded by m_lock
    Durations m_durations; // guarded by m_lock
};
