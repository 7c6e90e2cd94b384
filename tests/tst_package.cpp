// Catches: a .deb that will not unpack, run or validate, lacks dependencies or documented options, or misstates facts.

#include <QtTest>

class TestPackage : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void builtPackage()
    {
        QTemporaryDir dir;
        QCOMPARE(QProcess::execute(
                     "sh", {"-exc", R"sh(deb=$("$TARVELO_SOURCE_DIR/scripts/make-deb.sh" "$TARVELO_BUILD_DIR" "$0")
dpkg-deb -x "$deb" "$0/root"
cd "$0/root/usr"
dpkg-deb -f "$deb" Depends | grep libqt6core6 | grep libqt6network6 | grep libqt6widgets6 | grep libqt6svg6 | grep -F libcrypto++ | grep libqrencode
for program in tarvelo-ftp tarvelo-ftpd tarvelo-cry; do
    bin/$program --version | grep -F " $(dpkg-deb -f "$deb" Version)"
    MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l share/man/man1/$program.1.gz 2>"$0/warnings" | sed 's/‐/-/g; s/−/-/g' >"$0/manual"
    test ! -s "$0/warnings"
    for option in $(bin/$program --help | grep -o -- '--[a-z-]*' | sort -u); do
        grep -qF -- "$option" "$0/manual" || { echo "$program: $option is not in the manual"; exit 1; }
    done
done
test -z "$(desktop-file-validate share/applications/tarvelo-ftp.desktop)"
test -x "bin/$(sed -n 's/^Exec=//p' share/applications/tarvelo-ftp.desktop)"
test -f "share/icons/hicolor/scalable/apps/$(sed -n 's/^Icon=//p' share/applications/tarvelo-ftp.desktop).svg"
test -f share/metainfo/com.tarvelo.TarveloFtpServer.metainfo.xml
appstreamcli validate-tree --no-net --strict "$0/root"
lintian --fail-on error,warning --tag-display-limit 0 "$deb"
doc=share/doc/tarvelo-ftp
sed -n '/^Permission/,$p' "$TARVELO_SOURCE_DIR/LICENSE" >"$0/licence"
sed -n '/^ Permission/,$p' $doc/copyright | sed 's/^ //; s/^\.$//' | cmp - "$0/licence"
zcat $doc/changelog.gz | head -n 1 | grep -F "tarvelo-ftp ($(dpkg-deb -f "$deb" Version))"
grep -F "$(dpkg-deb -f "$deb" Maintainer)" "$TARVELO_SOURCE_DIR/README.md" $doc/copyright
# The user service starts the packaged program, and its verifier (with the package's program and manual) says nothing.
service=lib/systemd/user/tarvelo-ftpd.service
test -x "$0/root$(sed -n 's/^ExecStart=//p' $service)"
sed "s|^ExecStart=|&$0/root|" $service >"$0/tarvelo-ftpd.service"
mkdir "$0/run"
test "$(XDG_RUNTIME_DIR="$0/run" MANPATH="$PWD/share/man" systemd-analyze verify --user "$0/tarvelo-ftpd.service" 2>&1 && echo ok)" = ok)sh",
                            dir.path()}),
                 0);
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
