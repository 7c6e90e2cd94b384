#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

// The program's own pictures, drawn from SVG at the size they are shown, so they stay crisp at
// any scale. Names: "tarvelo-ftp", "logo", "house", "person", "info", "folder", "start", "stop".
// Window's thread.
namespace Pictures {

// The picture at size (device-independent pixels) for a screen of the given pixel ratio, its
// aspect ratio kept and centred.
QPixmap Render(const QString& name, QSize size, qreal devicePixelRatio);
// The picture as an icon, drawn at the usual icon sizes.
QIcon Icon(const QString& name);

} // namespace Pictures
