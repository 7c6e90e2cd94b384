// The Debian package as `make deb` builds it, unpacked into a scratch root: the files where the
// desktop looks for them, the declared libraries, the desktop entry and AppStream data accepted by
// their validators, and manual pages that render cleanly and document every option.

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run Execute(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment = {})
{
    QProcess process;
    if (!environment.isEmpty())
        process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForStarted(30000) || !process.waitForFinished(120000))
        return {-1, {}, process.errorString().toUtf8()};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
}

} // namespace

class TestPackage : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void programs_data();
    void programs();
    void desktopIntegration();
    void declaredDependencies();

private:
    QString Installed(const QString& path) const { return m_root.filePath(QStringLiteral("root/usr/") + path); }

    QTemporaryDir m_root;
    QString m_package;
    QByteArray m_version;
};

void TestPackage::initTestCase()
{
    for (const char* tool : {"dpkg-deb", "dpkg-shlibdeps", "desktop-file-validate", "appstreamcli", "man"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed (scripts/deps.sh installs it)").arg(tool)));
    }
    QVERIFY(m_root.isValid());
    const Run built = Execute(qEnvironmentVariable("TARVELO_SOURCE_DIR") + QStringLiteral("/scripts/make-deb.sh"),
                              {qEnvironmentVariable("TARVELO_BUILD_DIR"), m_root.path()});
    QVERIFY2(built.exitCode == 0, built.err.constData());
    m_package = QString::fromUtf8(built.out.trimmed());
    const Run unpacked = Execute(QStringLiteral("dpkg-deb"), {"-x", m_package, m_root.filePath("root")});
    QVERIFY2(unpacked.exitCode == 0, unpacked.err.constData());
    m_version = Execute(QStringLiteral("dpkg-deb"), {"-f", m_package, "Version"}).out.trimmed();
    QVERIFY(!m_version.isEmpty());
}

void TestPackage::programs_data()
{
    QTest::addColumn<QString>("program");
    for (const char* program : {"tarvelo-ftp", "tarvelo-ftpd", "tarvelo-cry"})
        QTest::newRow(program) << QString::fromLatin1(program);
}

void TestPackage::programs()
{
    QFETCH(QString, program);
    const QString binary = Installed("bin/" + program);
    QVERIFY2(QFileInfo(binary).isExecutable(), qPrintable(binary));
    // The installed program runs (its libraries are found) and tells the package's version.
    const Run version = Execute(binary, {"--version"});
    QCOMPARE(version.out, program.toUtf8() + " (Tarvelo FTP Server) " + m_version + '\n');

    const QString page = Installed("share/man/man1/" + program + ".1.gz");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("MANWIDTH", "80");
    environment.insert("LC_ALL", "C.UTF-8");
    const Run man = Execute(QStringLiteral("man"), {"--warnings", "-E", "UTF-8", "-l", page}, environment);
    QCOMPARE(man.exitCode, 0);
    QVERIFY2(man.err.isEmpty(), man.err.constData());
    // Every option the program's --help lists is documented.
    const QString help = QString::fromUtf8(Execute(binary, {"--help"}).out);
    QString manual = QString::fromUtf8(man.out);
    manual.replace(QChar(0x2010), QLatin1Char('-')).replace(QChar(0x2212), QLatin1Char('-'));
    QRegularExpressionMatchIterator options = QRegularExpression(QStringLiteral("--[a-z-]+")).globalMatch(help);
    QVERIFY(options.hasNext());
    while (options.hasNext()) {
        const QString option = options.next().captured();
        QVERIFY2(manual.contains(option), qPrintable(option));
    }
}

void TestPackage::desktopIntegration()
{
    const QString entry = Installed("share/applications/tarvelo-ftp.desktop");
    const Run validated = Execute(QStringLiteral("desktop-file-validate"), {entry});
    QVERIFY2(validated.exitCode == 0 && validated.out.isEmpty(), validated.out.constData());
    QSettings desktop(entry, QSettings::IniFormat);
    desktop.beginGroup(QStringLiteral("Desktop Entry"));
    QVERIFY(QFileInfo(Installed("bin/" + desktop.value("Exec").toString())).isExecutable());
    QVERIFY(QFile::exists(Installed("share/icons/hicolor/scalable/apps/" + desktop.value("Icon").toString() + ".svg")));

    // AppStream data, checked together with the desktop entry it launches.
    QVERIFY(QFile::exists(Installed("share/metainfo/com.tarvelo.TarveloFtpServer.metainfo.xml")));
    const Run tree =
        Execute(QStringLiteral("appstreamcli"), {"validate-tree", "--no-net", "--strict", m_root.filePath("root")});
    QVERIFY2(tree.exitCode == 0, (tree.out + tree.err).constData());
}

void TestPackage::declaredDependencies()
{
    const QByteArray depends = Execute(QStringLiteral("dpkg-deb"), {"-f", m_package, "Depends"}).out;
    for (const char* library : {"libqt6core6", "libqt6network6", "libqt6widgets6", "libqt6svg6", "libcrypto++"})
        QVERIFY2(depends.contains(library), depends.constData());
}

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
