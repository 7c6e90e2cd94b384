// Catches: values changed by save and load, a store others can read, one-value writes clobbering the rest, bad numbers.
#include "core/SettingsStore.h"
#include "TestFiles.h"
#include <QtTest>
#include <thread>

class TestSettings : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void store()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("new/tarvelo-ftp.conf");
        const CSettingsStore store(path);
        const auto fields = [](const CSettings::Values& v) {
            return std::tie(v.Username, v.Password, v.WelcomeMSG, v.LogoffMSG, v.SharedFolder, v.SecureFolder,
                            v.SecurePassword, v.ServerPort, v.MaxUsers, v.AllowDownloadFiles, v.AllowUploadFiles,
                            v.AllowDeleteFiles, v.AllowRenameFiles, v.AllowCreateFolders, v.TlsMode, v.TlsCertificate,
                            v.TlsPrivateKey);
        };
        // Every value differs from its default; the texts hold what INI files quote or split.
        CSettings::Values values = {
            "Bob", "p\xc3\xa4ss w", "100% \"hi\", x", "bye; = [x]", "/a b/", "/u/S", "pw", 65535, 0, 0, 0, 1, 1, 1,
            2,     "/c.pem",        "/k.pem"};
        // The mode is the owner's alone as soon as the save is done: a load would mend it itself.
        const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser;
        QVERIFY(store.SaveSettings(values));
        QCOMPARE(QFile::permissions(path), ownerOnly);
        bool wasOpen = true;
        QVERIFY(fields(store.LoadSettings(&wasOpen)) == fields(values) && !wasOpen);
        // The secure folder's password change writes that value alone.
        QVERIFY(store.SaveText("SecurePassword", values.SecurePassword = "newsecret"));
        QVERIFY(QFile::setPermissions(path, QFile::permissions(path) | QFile::ReadGroup)); // copied in by hand
        QVERIFY(fields(store.LoadSettings(&wasOpen)) == fields(values) && wasOpen);
        QCOMPARE(QFile::permissions(path), ownerOnly);
        QVERIFY(QFile::setPermissions(path, ownerOnly | QFile::ReadOther) && store.SaveSettings(values));
        QCOMPARE(QFile::permissions(path), ownerOnly);
        // A stored line, the value as the store writes it back, and why it is out of bounds.
        for (const QString row :
             {"ServerPort=abc|21", "AllowDownloadFiles=yes|1", "AllowDeleteFiles=2|1",
              "ServerPort=70000|70000|ServerPort 70000 is not an integer between 0 and 65535",
              "TlsMode=3|3|TlsMode 3 is not an integer between 0 and 2",
              "Username=abcdefghijklmnopqrstuvw|abcdefghijklmnopqrstuvw|Username is longer than 22 characters"}) {
            const QStringList line = row.split('|');
            QVERIFY(WriteFile(path, "[DataApp]\n" + line[0].toUtf8() + "\n[Other]\nServerPort=3\n"));
            values = store.LoadSettings();
            QVERIFY(store.SaveSettings(values));
            const QString key = "DataApp/" + line[0].section('=', 0, 0);
            QVERIFY2(QSettings(path, QSettings::IniFormat).value(key).toString() == line[1], qPrintable(row));
            QVERIFY2(CSettings::ValuesOutOfBounds(values).join(' ') == line.value(2), qPrintable(row));
        }
    }

    void readersNeverSeeAHalfWrittenRecord()
    {
        // The window assigns the record while connection threads read it.
        const CSettings::Values a = {"a", "a"}, b = {"", ""};
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
