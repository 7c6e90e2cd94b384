#pragma once

#include <QDialog>

class QGridLayout;

// The server's addresses for another device: the LAN's and, once known, the Internet's, each as
// an ftp:// address with a copy button and its QR code; never the password. Window's thread only.
class CShareDialog : public QDialog
{
    Q_OBJECT
public:
    // What the addresses are made of.
    struct CServed
    {
        QByteArray LanIP;      // empty when none was found
        QByteArray InternetIP; // empty until "Get Internet IP:" has found it
        QByteArray Username;   // the account; empty is anonymous, as at a start
        quint32 Port = 0;      // the listening port, or ServerPort while stopped (0: not known yet)
        bool Running = false;
    };

    CShareDialog(const CServed& served, QWidget* parent);

    // "ftp://alice@192.168.1.20:2121/": the user name unless anonymous (clients log in as anonymous
    // without one), the port unless 21. Empty without a host or a port clients can use.
    static QString Url(const QByteArray& host, const QByteArray& username, quint32 port);

private:
    // One column: its QR code, its address and a copy button, or the reason it has none.
    void AddAddress(QGridLayout* layout, int column, const QString& title, const QString& name, const QString& url,
                    const QString& missing);
};
