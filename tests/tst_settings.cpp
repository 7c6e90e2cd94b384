// The settings record and its store.

#include "core/Settings.h"
#include "core/SettingsStore.h"

#include <QtTest>

#include <atomic>
#include <sys/stat.h>
#include <thread>

class TestSettings : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void defaultsOnAnEmptyStore();
    void saveAndLoadRoundTrip();
    void storeIsPrivateAndUsesItsGroup();
    void storedValues_data();
    void storedValues();
    void singleTextWrite();
    void anonymousRule();
    void readersNeverSeeAHalfWrittenRecord();

private:
    QTemporaryDir m_dir;
};

void TestSettings::defaultsOnAnEmptyStore()
{
    const QString path = m_dir.filePath("none/tarvelo-ftp.conf");
    const CSettings::Values values = CSettingsStore(path).LoadSettings();
    QCOMPARE(values.Username, QByteArray("anonymous"));
    QCOMPARE(values.Password, QByteArray());
    QCOMPARE(values.WelcomeMSG, QByteArray("Welcome to my FTP Server"));
    QCOMPARE(values.LogoffMSG, QByteArray("Have a nice day"));
    QCOMPARE(values.SharedFolder, QByteArray("./RootFolder/"));
    QCOMPARE(values.SecureFolder, QByteArray("./RootFolder/SecureFolder/"));
    QCOMPARE(values.SecurePassword, QByteArray("marblet"));
    QCOMPARE(values.ServerPort, 21u);
    QCOMPARE(values.MaxUsers, 50u);
    QCOMPARE(values.AllowDownloadFiles, 1);
    QCOMPARE(values.AllowUploadFiles, 1);
    QCOMPARE(values.AllowDeleteFiles, 0);
    QCOMPARE(values.AllowRenameFiles, 0);
    QCOMPARE(values.AllowCreateFolders, 0);
    QVERIFY2(!QFile::exists(path), "loading must not write the store");
    const CSettings::Durations durations = CSettings().GetDurations();
    QCOMPARE(durations.IdleTimeoutMs, 600000);
    QCOMPARE(durations.DataWaitMs, 10000);
    QCOMPARE(durations.LoginFailureDelayMs, 1000);
}

void TestSettings::saveAndLoadRoundTrip()
{
    const QString path = m_dir.filePath("round/tarvelo-ftp.conf");
    CSettings::Values values;
    values.Username = "Bob";
    values.Password = "p\xc3\xa4ss word";
    values.WelcomeMSG = "100% welcome, \"friend\"";
    values.LogoffMSG = "bye; = [x]";
    values.SharedFolder = "/srv/ftp share/";
    values.SecureFolder = "/home/u/Secure";
    values.SecurePassword = "hunter22";
    values.ServerPort = 65535;
    values.MaxUsers = 0;
    values.AllowDownloadFiles = 0;
    values.AllowUploadFiles = 0;
    values.AllowDeleteFiles = 1;
    values.AllowRenameFiles = 1;
    values.AllowCreateFolders = 1;
    QVERIFY(CSettingsStore(path).SaveSettings(values));

    const CSettings::Values loaded = CSettingsStore(path).LoadSettings();
    QCOMPARE(loaded.Username, values.Username);
    QCOMPARE(loaded.Password, values.Password);
    QCOMPARE(loaded.WelcomeMSG, values.WelcomeMSG);
    QCOMPARE(loaded.LogoffMSG, values.LogoffMSG);
    QCOMPARE(loaded.SharedFolder, values.SharedFolder);
    QCOMPARE(loaded.SecureFolder, values.SecureFolder);
    QCOMPARE(loaded.SecurePassword, values.SecurePassword);
    QCOMPARE(loaded.ServerPort, values.ServerPort);
    QCOMPARE(loaded.MaxUsers, values.MaxUsers);
    QCOMPARE(loaded.AllowDownloadFiles, 0);
    QCOMPARE(loaded.AllowUploadFiles, 0);
    QCOMPARE(loaded.AllowDeleteFiles, 1);
    QCOMPARE(loaded.AllowRenameFiles, 1);
    QCOMPARE(loaded.AllowCreateFolders, 1);
}

void TestSettings::storeIsPrivateAndUsesItsGroup()
{
    const QString path = m_dir.filePath("private/tarvelo-ftp.conf");
    QVERIFY(CSettingsStore(path).SaveSettings(CSettings::Values()));
    struct stat info = {};
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, mode_t(0600));

    QSettings raw(path, QSettings::IniFormat);
    const QStringList keys = raw.allKeys();
    QCOMPARE(keys.size(), 14);
    for (const QString& key : keys)
        QVERIFY2(key.startsWith("DataApp/"), qPrintable(key));
    QCOMPARE(raw.value("DataApp/ServerPort").toInt(), 21);
    QCOMPARE(raw.value("DataApp/Username").toString(), QString("anonymous"));
}

void TestSettings::storedValues_data()
{
    QTest::addColumn<QByteArray>("lines"); // of a hand-written file
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("loaded"); // as the store writes it back
    QTest::addColumn<QStringList>("outOfBounds");
    const auto row = [](const char* lines, const char* name, const char* loaded, const QStringList& outOfBounds = {}) {
        QTest::newRow(lines) << QByteArray(lines) << QString(name) << QString(loaded) << outOfBounds;
    };
    row("[DataApp]\nServerPort=2121", "ServerPort", "2121");
    row("[DataApp]\nServerPort=abc", "ServerPort", "21");
    row("[DataApp]\nServerPort=", "ServerPort", "21");
    row("[DataApp]\nServerPort=-1", "ServerPort", "21");
    row("[DataApp]\nServerPort=99999999999", "ServerPort", "21");
    row("[DataApp]\nServerPort=a, b", "ServerPort", "21");
    row("[DataApp]\nServerPort=70000", "ServerPort", "70000",
        {"ServerPort 70000 is not an integer between 0 and 65535"});
    row("[DataApp]\nMaxUsers=xyz", "MaxUsers", "50");
    row("[DataApp]\nMaxUsers=501", "MaxUsers", "501", {"MaxUsers 501 is not an integer between 0 and 500"});
    row("[Other]\nMaxUsers=3", "MaxUsers", "50");
    row("[DataApp]\nAllowDownloadFiles=yes", "AllowDownloadFiles", "1");
    row("[DataApp]\nAllowDeleteFiles=2", "AllowDeleteFiles", "1");
    row("[DataApp]\nAllowUploadFiles=0", "AllowUploadFiles", "0");
    row("[DataApp]\nWelcomeMSG=Hello, friend", "WelcomeMSG", "Hello, friend");
    row("[DataApp]\nPassword=", "Password", "");
    row("[DataApp]\nUsername=", "Username", "");
    row("[DataApp]\nUsername=abcdefghijklmnopqrstuvw\nLogoffMSG=x", "Username", "abcdefghijklmnopqrstuvw",
        {"Username is longer than 22 characters"});
}

void TestSettings::storedValues()
{
    QFETCH(QByteArray, lines);
    QFETCH(QString, name);
    QFETCH(QString, loaded);
    QFETCH(QStringList, outOfBounds);
    QFile file(m_dir.filePath("hand.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(lines + '\n') == lines.size() + 1);
    file.close();
    const CSettings::Values values = CSettingsStore(file.fileName()).LoadSettings();
    QCOMPARE(CSettings::ValuesOutOfBounds(values), outOfBounds);
    const QString back = m_dir.filePath("back.conf");
    QVERIFY(CSettingsStore(back).SaveSettings(values));
    QCOMPARE(QSettings(back, QSettings::IniFormat).value("DataApp/" + name).toString(), loaded);
}

void TestSettings::singleTextWrite()
{
    const QString path = m_dir.filePath("single/tarvelo-ftp.conf");
    CSettingsStore store(path);
    QVERIFY(store.SaveText("SecurePassword", "newsecret"));
    const CSettings::Values values = store.LoadSettings();
    QCOMPARE(values.SecurePassword, QByteArray("newsecret"));
    QCOMPARE(values.Username, QByteArray("anonymous"));
    QSettings raw(path, QSettings::IniFormat);
    QCOMPARE(raw.allKeys(), QStringList{"DataApp/SecurePassword"});
}

void TestSettings::anonymousRule()
{
    CSettings::Values values;
    values.Username = "";
    QVERIFY(CSettings::ApplyAnonymousRule(values));
    QCOMPARE(values.Username, QByteArray("anonymous"));
    values.Username = "bob";
    QVERIFY(!CSettings::ApplyAnonymousRule(values));
    QCOMPARE(values.Username, QByteArray("bob"));
}

void TestSettings::readersNeverSeeAHalfWrittenRecord()
{
    // The window assigns the record while connection threads read it.
    CSettings::Values a, b;
    a.Username = QByteArray(1000, 'a');
    a.Password = QByteArray(1000, 'a');
    b.Username = QByteArray(5, 'b');
    b.Password = QByteArray(5, 'b');
    CSettings settings(a);
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            const CSettings::Values seen = settings.Get();
            if (seen.Username != seen.Password)
                ++torn;
        }
    });
    for (int i = 0; i < 20000; ++i)
        settings.Set(i % 2 ? a : b);
    stop = true;
    reader.join();
    QCOMPARE(torn.load(), 0);
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
