#include "app/ui/Icons.h"

#include <QIconEngine>
#include <QMimeDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPixmapCache>

namespace norvane {

namespace {

using Name = Icons::Name;

QColor folderColour(Name name)
{
    switch (name) {
    case Name::FolderGray:
        return QColor(0x8a, 0x91, 0x99);
    case Name::FolderGreen:
        return QColor(0x3f, 0xa3, 0x5b);
    case Name::FolderBlue:
        return QColor(0x3b, 0x7d, 0xd8);
    case Name::FolderRed:
        return QColor(0xd2, 0x4a, 0x43);
    case Name::FolderFavorite:
    case Name::FolderYellow:
    default:
        return QColor(0xe8, 0xb3, 0x3c);
    }
}

// Everything is drawn in a 16 x 16 box, scaled to the target.
void paintFolder(QPainter& p, const QColor& colour)
{
    QPainterPath back;
    back.moveTo(1.5, 3.5);
    back.lineTo(6.0, 3.5);
    back.lineTo(7.5, 5.0);
    back.lineTo(14.5, 5.0);
    back.lineTo(14.5, 13.5);
    back.lineTo(1.5, 13.5);
    back.closeSubpath();
    p.setPen(QPen(colour.darker(140), 1.0));
    p.setBrush(colour.darker(115));
    p.drawPath(back);
    p.setBrush(colour);
    p.drawRoundedRect(QRectF(1.5, 6.5, 13.0, 7.0), 1.0, 1.0);
}

void paintStar(QPainter& p, const QPointF& centre, qreal radius, const QColor& colour)
{
    QPainterPath star;
    for (int i = 0; i < 10; ++i) {
        const qreal r = i % 2 == 0 ? radius : radius * 0.45;
        const qreal angle = -M_PI / 2 + i * M_PI / 5;
        const QPointF point(centre.x() + r * std::cos(angle), centre.y() + r * std::sin(angle));
        if (i == 0)
            star.moveTo(point);
        else
            star.lineTo(point);
    }
    star.closeSubpath();
    p.setPen(QPen(colour.darker(150), 0.6));
    p.setBrush(colour);
    p.drawPath(star);
}

void paintIcon(QPainter& p, Name name, QIcon::Mode mode)
{
    const QColor ink = mode == QIcon::Disabled ? QColor(0xa0, 0xa0, 0xa0) : QColor(0x3c, 0x44, 0x4f);
    switch (name) {
    case Name::Application: {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x1f, 0x6f, 0xb5));
        p.drawRoundedRect(QRectF(0.5, 0.5, 15.0, 15.0), 3.5, 3.5);
        QPainterPath cloud;
        cloud.setFillRule(Qt::WindingFill);
        cloud.addEllipse(QRectF(2.5, 7.0, 5.0, 5.0));
        cloud.addEllipse(QRectF(5.0, 4.0, 6.5, 6.5));
        cloud.addEllipse(QRectF(8.5, 6.5, 5.0, 5.0));
        cloud.addRoundedRect(QRectF(4.5, 8.5, 7.0, 3.5), 1.0, 1.0);
        p.setBrush(Qt::white);
        p.drawPath(cloud.simplified());
        break;
    }
    case Name::FolderFavorite:
        paintFolder(p, folderColour(name));
        paintStar(p, QPointF(8.0, 10.0), 3.2, QColor(0xff, 0xf4, 0xc2));
        break;
    case Name::FolderGray:
    case Name::FolderGreen:
    case Name::FolderBlue:
    case Name::FolderRed:
    case Name::FolderYellow:
        paintFolder(p, folderColour(name));
        break;
    case Name::Logout: {
        p.setPen(QPen(ink, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPolyline(QPolygonF({ QPointF(9.0, 4.0), QPointF(9.0, 2.0), QPointF(2.5, 2.0), QPointF(2.5, 14.0),
            QPointF(9.0, 14.0), QPointF(9.0, 12.0) }));
        p.drawLine(QPointF(6.0, 8.0), QPointF(14.0, 8.0));
        p.drawPolyline(QPolygonF({ QPointF(11.5, 5.5), QPointF(14.0, 8.0), QPointF(11.5, 10.5) }));
        break;
    }
    case Name::Settings: {
        p.setPen(Qt::NoPen);
        p.setBrush(ink);
        QPainterPath gear;
        gear.setFillRule(Qt::WindingFill);
        gear.addEllipse(QPointF(8, 8), 5.0, 5.0);
        for (int i = 0; i < 8; ++i) {
            QTransform t;
            t.translate(8, 8);
            t.rotate(i * 45.0);
            gear.addPolygon(t.map(QPolygonF(QRectF(-1.3, -7.2, 2.6, 3.0))));
        }
        QPainterPath hole;
        hole.addEllipse(QPointF(8, 8), 2.2, 2.2);
        p.drawPath(gear.simplified().subtracted(hole));
        break;
    }
    case Name::File: {
        QPainterPath page;
        page.moveTo(3.5, 1.5);
        page.lineTo(10.0, 1.5);
        page.lineTo(12.5, 4.0);
        page.lineTo(12.5, 14.5);
        page.lineTo(3.5, 14.5);
        page.closeSubpath();
        p.setPen(QPen(QColor(0x8a, 0x91, 0x99), 1.0));
        p.setBrush(Qt::white);
        p.drawPath(page);
        p.drawLine(QPointF(5.5, 7.5), QPointF(10.5, 7.5));
        p.drawLine(QPointF(5.5, 10.0), QPointF(10.5, 10.0));
        break;
    }
    case Name::Caution: {
        QPainterPath triangle;
        triangle.moveTo(8.0, 1.5);
        triangle.lineTo(15.0, 14.0);
        triangle.lineTo(1.0, 14.0);
        triangle.closeSubpath();
        p.setPen(QPen(QColor(0xb0, 0x7a, 0x00), 1.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(QColor(0xf5, 0xc2, 0x11));
        p.drawPath(triangle);
        p.setPen(QPen(QColor(0x33, 0x33, 0x33), 1.6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8.0, 6.0), QPointF(8.0, 9.8));
        p.drawPoint(QPointF(8.0, 12.0));
        break;
    }
    }
}

class PaintedIconEngine : public QIconEngine {
public:
    explicit PaintedIconEngine(Name name)
        : name_(name)
    { }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override
    {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        const qreal side = std::min(rect.width(), rect.height());
        painter->translate(rect.x() + (rect.width() - side) / 2.0, rect.y() + (rect.height() - side) / 2.0);
        painter->scale(side / 16.0, side / 16.0);
        paintIcon(*painter, name_, mode);
        painter->restore();
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override
    {
        const QSize device = size * scale;
        const QString key = QStringLiteral("norvane-icon-%1-%2-%3x%4")
                                .arg(int(name_))
                                .arg(int(mode))
                                .arg(device.width())
                                .arg(device.height());
        QPixmap cached;
        if (QPixmapCache::find(key, &cached))
            return cached;
        QPixmap pixmap(device);
        pixmap.fill(Qt::transparent);
        {
            QPainter painter(&pixmap);
            paint(&painter, QRect(QPoint(0, 0), device), mode, state);
        }
        pixmap.setDevicePixelRatio(scale);
        QPixmapCache::insert(key, pixmap);
        return pixmap;
    }

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }
    QIconEngine* clone() const override { return new PaintedIconEngine(name_); }
    QString key() const override { return QStringLiteral("norvane-painted"); }
    bool isNull() override { return false; }

private:
    Name name_;
};

const char* themeName(Name name)
{
    switch (name) {
    case Name::Application:
        return "norvane";
    case Name::Logout:
        return "system-log-out";
    case Name::Settings:
        return "preferences-system";
    case Name::File:
        return "text-x-generic";
    case Name::Caution:
        return "dialog-warning";
    default:
        return nullptr; // our folders have colours that mean something
    }
}

} // namespace

QIcon Icons::bundled(Name name)
{
    return QIcon(new PaintedIconEngine(name));
}

QIcon Icons::icon(Name name)
{
    const char* theme = themeName(name);
    if (theme && QIcon::hasThemeIcon(QString::fromLatin1(theme)))
        return QIcon::fromTheme(QString::fromLatin1(theme));
    return bundled(name);
}

QIcon Icons::forFileName(const QString& fileName)
{
    static const QMimeDatabase database;
    const QMimeType type = database.mimeTypeForFile(fileName, QMimeDatabase::MatchExtension);
    if (type.isValid()) {
        if (QIcon::hasThemeIcon(type.iconName()))
            return QIcon::fromTheme(type.iconName());
        if (QIcon::hasThemeIcon(type.genericIconName()))
            return QIcon::fromTheme(type.genericIconName());
    }
    return icon(Name::File);
}

} // namespace norvane
