#pragma once

#include <QByteArray>

// The machine's LAN address as dotted IPv4 text, for the "LAN IP:" box. Writes it into text and
// returns 0; -1 when the host name cannot be read, another non-zero code when no address is found
// (text untouched in both cases). When the host name resolves only to a loopback address (Debian's
// 127.0.1.1), the first non-loopback IPv4 address of an interface that is up is taken instead.
// Any thread.
int GetLanIP(QByteArray& text);
