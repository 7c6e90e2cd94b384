#pragma once

#include <QByteArray>

// The address and port of a PORT argument "h1,h2,h3,h4,p1,p2".
struct PortArgument
{
    QByteArray address; // dotted IPv4 text
    int port = -1;
};

// SECURITY: accepts only six decimal fields, an address of four numbers 0-255 and a port of
// 1024-65535; anything else gives false. Whether the address is the client's own is the caller's
// check.
bool ParsePortArgument(const QByteArray& argument, PortArgument& result);
