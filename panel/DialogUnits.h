#pragma once

#include <QFont>
#include <QRect>

// Converts dialog units to pixels through a font's dialog base units, so a window laid out in
// dialog units keeps its proportions on any font. Any thread (pure arithmetic once built).
class CDialogUnits
{
public:
    explicit CDialogUnits(const QFont& font);

    // Widens the horizontal base unit so that width pixels fit into dluWidth dialog units.
    void FitWidth(int width, int dluWidth);

    int X(int dlu) const;
    int Y(int dlu) const;
    // x, y, width, height in dialog units.
    QRect Rect(int x, int y, int width, int height) const;

    int BaseX() const { return m_nBaseX; }
    int BaseY() const { return m_nBaseY; }

private:
    int m_nBaseX; // average character width of the font, in pixels
    int m_nBaseY; // character height of the font, in pixels
};
