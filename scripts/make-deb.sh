#!/usr/bin/env bash
# Builds the Debian package from a built tree: `cmake --install` staged under /usr (stripped), the
# run-time libraries the programs link declared by dpkg-shlibdeps, the files' checksums for
# `dpkg --verify`, wrapped by dpkg-deb.
# Usage: scripts/make-deb.sh BUILD_DIR OUTPUT_DIR; prints the path of the package it wrote.
set -euo pipefail

[ $# -eq 2 ] || { echo "usage: $0 BUILD_DIR OUTPUT_DIR" >&2; exit 2; }
build=$(realpath "$1")
mkdir -p "$2"
out=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/root

DESTDIR=$stage cmake --install "$build" --prefix /usr --strip >/dev/null
[ -x "$stage/usr/bin/tarvelo-ftp" ] || { echo "$0: $build has no desktop program (TARVELO_GUI=OFF?)" >&2; exit 1; }
# What --strip leaves of no use at run time: the compilers' version notes.
strip --remove-section=.comment "$stage"/usr/bin/*

version=$("$stage/usr/bin/tarvelo-ftpd" --version | awk '{ print $NF }')
arch=$(dpkg --print-architecture)
# dpkg-shlibdeps reads the control file of the package it works for: a minimal one will do.
mkdir "$work/debian"
printf 'Source: tarvelo-ftp\n\nPackage: tarvelo-ftp\nArchitecture: any\n' >"$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O "$stage"/usr/bin/* 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "$0: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

mkdir "$stage/DEBIAN"
cat >"$stage/DEBIAN/control" <<CONTROL
Package: tarvelo-ftp
Version: $version
Architecture: $arch
Maintainer: Tarvelo FTP Server developers <ftp@tarvelo.com>
Installed-Size: $(du -sk "$stage/usr" | cut -f1)
Depends: $depends
Recommends: qt6-wayland
Suggests: curl, lftp
Section: net
Priority: optional
Homepage: https://www.tarvelo.com/tarveloftp/index.html
Description: one-user FTP server for the desktop, with a secure folder
 Pick a root folder, one account, a port, a user limit and five permissions,
 press Start, and FTP clients on the LAN or the Internet can log in and work
 in that folder. A coloured log pane shows clients come and go. The window
 also encrypts a secure folder into AES-256 .cry files and back.
 .
 tarvelo-ftpd serves a folder without a window in one command
 (tarvelo-ftpd --port 2121 --root ~/Public); tarvelo-cry encrypts or
 decrypts a folder from a terminal.
CONTROL

(cd "$stage" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$stage/DEBIAN/md5sums"

package=$out/tarvelo-ftp_${version}_${arch}.deb
dpkg-deb --root-owner-group --build "$stage" "$package" >/dev/null
echo "$package"
