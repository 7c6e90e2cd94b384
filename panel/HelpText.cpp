#include "panel/HelpText.h"

QString HelpText()
{
    QString text;
    text += QStringLiteral(
        "Users need an FTP Client to access your FTP server. Web browsers can be used as FTP Clients.\n\n");
    text += QStringLiteral("For connections from the Internet to your FTP server, remember to setup port forwarding "
                           "on your router:\nYou must open server port and range of ports (50000 to 58000) TCP/UDP "
                           "for your LAN IP.\n\n");
    text += QStringLiteral("Users who download encrypted files (.cry) must use 'Tarvelo FTP Server' application only "
                           "to decrypt the files using 'Decrypt' button for the 'SecureFolder' where the .cry files "
                           "are located.");
    return text;
}

QString WebPageUrl()
{
    return QStringLiteral("https://www.tarvelo.com/tarveloftp/index.html");
}

QString CryptoppUrl()
{
    return QStringLiteral("https://www.cryptopp.com/");
}
