#pragma once

#include <QByteArray>
#include <QByteArrayList>

// Makes a self-signed ECDSA P-256 certificate whose subject alternative names are the host names
// and IPv4 addresses given, and its key (mode 0600), as PEM files. Neither file may exist: nothing
// is ever overwritten. False with *error (a monitor line) when they could not be made. Any thread.
[[nodiscard]] bool CreateSelfSignedCertificate(const QByteArray& certificateFile, const QByteArray& keyFile,
                                               const QByteArrayList& hostNames, const QByteArrayList& addresses,
                                               QByteArray* error);
