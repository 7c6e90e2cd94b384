// PORT arguments: what is accepted is six decimal fields, an IPv4 address and an unprivileged port, read as below.

#include "Require.h"
#include "transfer/PortArgument.h"

#include <QRegularExpression>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>

namespace {

// The reference reading: six comma-separated fields of one to three digits, each 0-255.
bool ReferenceParse(const QByteArray& argument, int fields[6])
{
    static const QRegularExpression kSix(QRegularExpression::anchoredPattern("([0-9]{1,3},){5}[0-9]{1,3}"));
    if (!kSix.match(QString::fromLatin1(argument)).hasMatch())
        return false;
    for (int i = 0; i < 6; ++i)
        fields[i] = argument.split(',')[i].toInt();
    return *std::max_element(fields, fields + 6) <= 255 && fields[4] * 256 + fields[5] >= 1024;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    const QByteArray argument(reinterpret_cast<const char*>(bytes), qsizetype(size));
    PortArgument parsed;
    int fields[6] = {};
    const bool accepted = ParsePortArgument(argument, parsed);
    Require(accepted == ReferenceParse(argument, fields));
    if (!accepted)
        return 0;
    Require(parsed.port == fields[4] * 256 + fields[5] && parsed.port >= 1024 && parsed.port <= 65535);
    in_addr address;
    Require(inet_pton(AF_INET, parsed.address.constData(), &address) == 1);
    const uint32_t host = ntohl(address.s_addr);
    for (int i = 0; i < 4; ++i)
        Require(int((host >> (24 - 8 * i)) & 0xff) == fields[i]);
    return 0;
}
