// Catches: values changed by save and load, a store others can read, one-value writes clobbering the rest, bad numbers.

#include "core/SettingsStore.h"
#include "TestFiles.h"
#include <QtTest>
#include <thread>

static auto Fields(const CSettings::Values& v)
{
    return std::tie(v.Username, v.Password, v.WelcomeMSG, v.LogoffMSG, v.SharedFolder, v.SecureFolder, v.SecurePassword,
                    v.ServerPort, v.MaxUsers, v.AllowDownloadFiles, v.AllowUploadFiles, v.AllowDeleteFiles,
                    v.AllowRenameFiles, v.AllowCreateFolders);
}

class TestSettings : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void store()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("new/tarvelo-ftp.conf");
        // Every value differs from its default; the texts hold what INI files quote or split.
        CSettings::Values values = {
            "Bob", "p\xc3\xa4ss w", "100% \"hi\", x", "bye; = [x]", "/a b/", "/u/S", "pw", 65535, 0, 0, 0, 1, 1, 1};
        QVERIFY(CSettingsStore(path).SaveSettings(values));
        QVERIFY(Fields(CSettingsStore(path).LoadSettings()) == Fields(values));
        QCOMPARE(QFile::permissions(path), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        // The secure folder's password change writes that value alone.
        QVERIFY(CSettingsStore(path).SaveText("SecurePassword", "newsecret"));
        values.SecurePassword = "newsecret";
        QVERIFY(Fields(CSettingsStore(path).LoadSettings()) == Fields(values));

        // A stored line, the value as the store writes it back, and why it is out of bounds.
        for (const QString row :
             {"ServerPort=abc|21", "ServerPort=a, b|21",
              "ServerPort=70000|70000|ServerPort 70000 is not an integer between 0 and 65535", "MaxUsers=xyz|50",
              "MaxUsers=501|501|MaxUsers 501 is not an integer between 0 and 500", "AllowDownloadFiles=yes|1",
              "AllowDeleteFiles=2|1", "WelcomeMSG=Hello, friend|Hello, friend",
              "Username=abcdefghijklmnopqrstuvw|abcdefghijklmnopqrstuvw|Username is longer than 22 characters"}) {
            const QStringList line = row.split('|');
            QVERIFY(WriteFile(path, "[DataApp]\n" + line[0].toUtf8() + "\n[Other]\nMaxUsers=3\n"));
            values = CSettingsStore(path).LoadSettings();
            QVERIFY(CSettingsStore(path).SaveSettings(values));
            const QString key = "DataApp/" + line[0].section('=', 0, 0);
            QVERIFY2(QSettings(path, QSettings::IniFormat).value(key).toString() == line[1], qPrintable(row));
            QVERIFY2(CSettings::ValuesOutOfBounds(values).join(' ') == line.value(2), qPrintable(row));
        }
    }

    void readersNeverSeeAHalfWrittenRecord()
    {
        // The window assigns the record while connection threads read it.
        CSettings::Values a, b = {"", ""};
        a.Username = a.Password = QByteArray(1000, 'a');
        CSettings settings(a);
        std::atomic<bool> stop{false}, torn{false};
        std::thread reader([&] {
            for (CSettings::Values seen = a; !stop; seen = settings.Get())
                torn = torn || seen.Username != seen.Password;
        });
        for (int i = 0; i < 20000; ++i)
            settings.Set(i % 2 ? a : b);
        stop = true;
        reader.join();
        QVERIFY(!torn);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
