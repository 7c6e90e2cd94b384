#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// A QR code of a text, encoded with libqrencode. Any thread.
class CQrCode
{
public:
    // Encodes the text's bytes at error correction level M in the smallest version that holds them.
    explicit CQrCode(const QByteArray& text);

    bool IsValid() const { return m_nWidth > 0; }
    // Why the text could not be encoded, as the system words it; empty when valid.
    QString ErrorText() const { return m_strError; }
    // Black modules of modulePixels square on white, inside the four-module quiet zone that readers
    // need; a null image when not valid.
    QImage Image(int modulePixels) const;

private:
    int m_nWidth = 0;     // modules per side
    QByteArray m_modules; // m_nWidth rows of m_nWidth modules, true for black
    QString m_strError;
};
