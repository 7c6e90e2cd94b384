#include "panel/DialogUnits.h"

#include <QFontMetrics>

#include <algorithm>

namespace {

// Rounds to the nearest integer as the dialog-unit conversion always has (MulDiv).
int MulDiv(int value, int numerator, int denominator)
{
    return (value * numerator + denominator / 2) / denominator;
}

} // namespace

CDialogUnits::CDialogUnits(const QFont& font)
{
    const QFontMetrics metrics(font);
    const int letters =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_nBaseX = std::max(1, (letters / 26 + 1) / 2);
    m_nBaseY = std::max(1, metrics.height());
}

void CDialogUnits::FitWidth(int width, int dluWidth)
{
    if (dluWidth > 0)
        m_nBaseX = std::max(m_nBaseX, (width * 4 + dluWidth - 1) / dluWidth);
}

int CDialogUnits::X(int dlu) const
{
    return MulDiv(dlu, m_nBaseX, 4);
}

int CDialogUnits::Y(int dlu) const
{
    return MulDiv(dlu, m_nBaseY, 8);
}

QRect CDialogUnits::Rect(int x, int y, int width, int height) const
{
    return QRect(X(x), Y(y), X(width), Y(height));
}
