#include "panel/QrCode.h"

#include <QPainter>

#include <cerrno>
#include <cstring>
#include <qrencode.h>

namespace {

constexpr int kQuietZoneModules = 4;

} // namespace

CQrCode::CQrCode(const QByteArray& text)
{
    errno = 0;
    // Case-sensitive: lower case goes as bytes, digits and upper case in the shorter modes.
    QRcode* code = QRcode_encodeString(text.constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1);
    if (code == nullptr) {
        m_strError = QString::fromLocal8Bit(strerror(errno != 0 ? errno : EINVAL));
        return;
    }
    m_nWidth = code->width;
    m_modules.resize(qsizetype(m_nWidth) * m_nWidth);
    // The lowest bit of each byte is the module's colour; the others say what part of the code it is.
    for (qsizetype i = 0; i < m_modules.size(); ++i)
        m_modules[i] = char(code->data[i] & 1);
    QRcode_free(code);
}

QImage CQrCode::Image(int modulePixels) const
{
    if (!IsValid())
        return {};
    const int side = (m_nWidth + 2 * kQuietZoneModules) * modulePixels;
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    for (int y = 0; y < m_nWidth; ++y) {
        for (int x = 0; x < m_nWidth; ++x) {
            if (m_modules[qsizetype(y) * m_nWidth + x])
                painter.fillRect((x + kQuietZoneModules) * modulePixels, (y + kQuietZoneModules) * modulePixels,
                                 modulePixels, modulePixels, Qt::black);
        }
    }
    return image;
}
