#include "panel/Pictures.h"

#include <QPainter>
#include <QSvgRenderer>

static void InitPictureResources()
{
    // The resources live in a static library: make sure the linker keeps them.
    Q_INIT_RESOURCE(tarvelo);
}

namespace Pictures {

QPixmap Render(const QString& name, QSize size, qreal devicePixelRatio)
{
    static const bool initialised = (InitPictureResources(), true);
    Q_UNUSED(initialised);
    QSvgRenderer renderer(QStringLiteral(":/pictures/%1.svg").arg(name));
    Q_ASSERT_X(renderer.isValid(), "Pictures::Render", qPrintable(name));
    QPixmap pixmap(size * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QSizeF drawn = renderer.defaultSize();
    drawn.scale(QSizeF(size), Qt::KeepAspectRatio);
    QPainter painter(&pixmap);
    renderer.render(&painter,
                    QRectF(QPointF((size.width() - drawn.width()) / 2, (size.height() - drawn.height()) / 2), drawn));
    return pixmap;
}

QIcon Icon(const QString& name)
{
    QIcon icon;
    for (int side : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(Render(name, QSize(side, side), 1.0));
    return icon;
}

} // namespace Pictures
