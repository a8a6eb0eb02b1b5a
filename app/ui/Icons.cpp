#include "app/ui/Icons.h"

#include <QHash>
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

// A page with its corner turned, marked with the colour and sign of its kind.
void paintPage(QPainter& p, Name kind)
{
    QPainterPath page;
    page.moveTo(2.5, 0.5);
    page.lineTo(10.0, 0.5);
    page.lineTo(13.5, 4.0);
    page.lineTo(13.5, 15.5);
    page.lineTo(2.5, 15.5);
    page.closeSubpath();
    p.setPen(QPen(QColor(0x8a, 0x91, 0x99), 1.0));
    p.setBrush(Qt::white);
    p.drawPath(page);
    p.setBrush(QColor(0xdd, 0xe1, 0xe6));
    p.drawPolygon(QPolygonF({ QPointF(10.0, 0.5), QPointF(10.0, 4.0), QPointF(13.5, 4.0) }));

    const auto lines = [&](const QColor& colour) {
        p.setPen(QPen(colour, 1.0));
        for (qreal y : { 6.5, 9.0, 11.5 })
            p.drawLine(QPointF(4.5, y), QPointF(11.5, y));
    };
    switch (kind) {
    case Name::FileImage: {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x9f, 0xd3, 0xf5));
        p.drawRect(QRectF(3.5, 5.0, 9.0, 8.5));
        p.setBrush(QColor(0x3f, 0xa3, 0x5b));
        p.drawPolygon(QPolygonF(
            { QPointF(3.5, 13.5), QPointF(7.0, 8.5), QPointF(9.5, 11.5), QPointF(10.8, 10.0), QPointF(12.5, 13.5) }));
        p.setBrush(QColor(0xf5, 0xc2, 0x11));
        p.drawEllipse(QPointF(10.3, 7.0), 1.2, 1.2);
        break;
    }
    case Name::FileVideo:
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x7b, 0x4f, 0xc9));
        p.drawRoundedRect(QRectF(3.5, 5.5, 9.0, 8.0), 1.0, 1.0);
        p.setBrush(Qt::white);
        p.drawPolygon(QPolygonF({ QPointF(6.5, 7.3), QPointF(10.2, 9.5), QPointF(6.5, 11.7) }));
        break;
    case Name::FileAudio:
        p.setPen(QPen(QColor(0xe0, 0x6c, 0x00), 1.2));
        p.drawLine(QPointF(9.8, 5.0), QPointF(9.8, 11.5));
        p.drawLine(QPointF(9.8, 5.0), QPointF(12.0, 6.5));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xe0, 0x6c, 0x00));
        p.drawEllipse(QPointF(8.0, 11.8), 2.0, 1.6);
        break;
    case Name::FilePdf:
        lines(QColor(0xc0, 0xc6, 0xcc));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xd2, 0x3a, 0x2e));
        p.drawRect(QRectF(1.5, 9.5, 10.0, 5.0));
        p.setBrush(Qt::white);
        for (qreal x : { 3.0, 6.0, 9.0 })
            p.drawRect(QRectF(x, 11.2, 1.6, 1.6));
        break;
    case Name::FileDocument:
        lines(QColor(0x3b, 0x7d, 0xd8));
        break;
    case Name::FileSpreadsheet:
        p.setPen(QPen(QColor(0x2e, 0x8b, 0x57), 0.9));
        p.setBrush(QColor(0xd8, 0xf0, 0xe0));
        p.drawRect(QRectF(4.0, 5.5, 8.0, 8.0));
        p.drawLine(QPointF(8.0, 5.5), QPointF(8.0, 13.5));
        p.drawLine(QPointF(4.0, 8.2), QPointF(12.0, 8.2));
        p.drawLine(QPointF(4.0, 10.8), QPointF(12.0, 10.8));
        break;
    case Name::FilePresentation:
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xe0, 0x6c, 0x00));
        p.drawRect(QRectF(4.0, 6.0, 8.0, 5.5));
        p.setBrush(QColor(0xff, 0xe0, 0xc0));
        p.drawRect(QRectF(5.2, 7.2, 3.5, 3.0));
        break;
    case Name::FileArchive:
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x8a, 0x6a, 0x3a));
        for (qreal y : { 2.0, 4.0, 6.0, 8.0 })
            p.drawRect(QRectF(y == 4.0 || y == 8.0 ? 7.0 : 6.0, y, 1.5, 1.5));
        p.drawRoundedRect(QRectF(5.5, 10.0, 3.5, 3.5), 0.8, 0.8);
        break;
    case Name::FileText:
        lines(QColor(0x8a, 0x91, 0x99));
        break;
    default:
        p.setPen(QPen(QColor(0x8a, 0x91, 0x99), 1.0));
        p.drawLine(QPointF(4.5, 7.5), QPointF(11.5, 7.5));
        p.drawLine(QPointF(4.5, 10.0), QPointF(11.5, 10.0));
        break;
    }
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
    case Name::File:
    case Name::FileText:
    case Name::FileImage:
    case Name::FileVideo:
    case Name::FileAudio:
    case Name::FilePdf:
    case Name::FileDocument:
    case Name::FileSpreadsheet:
    case Name::FilePresentation:
    case Name::FileArchive:
        paintPage(p, name);
        break;
    case Name::Lock: {
        p.setPen(QPen(QColor(0x6b, 0x6f, 0x75), 1.6));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(4.5, 1.8, 7.0, 8.0), 0, 180 * 16);
        p.drawLine(QPointF(4.5, 5.8), QPointF(4.5, 7.5));
        p.drawLine(QPointF(11.5, 5.8), QPointF(11.5, 7.5));
        p.setPen(QPen(QColor(0xa0, 0x70, 0x10), 0.8));
        p.setBrush(QColor(0xe8, 0xb3, 0x3c));
        p.drawRoundedRect(QRectF(2.8, 7.2, 10.4, 7.6), 1.2, 1.2);
        p.setPen(QPen(QColor(0x6b, 0x4a, 0x00), 1.4, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8.0, 10.0), QPointF(8.0, 12.2));
        break;
    }
    case Name::GoToPath: {
        p.setPen(QPen(ink, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(1.5, 3.5, 13.0, 9.0), 1.5, 1.5);
        p.drawLine(QPointF(4.0, 8.0), QPointF(10.5, 8.0));
        p.drawPolyline(QPolygonF({ QPointF(8.5, 6.0), QPointF(10.5, 8.0), QPointF(8.5, 10.0) }));
        break;
    }
    case Name::Refresh: {
        p.setPen(QPen(ink, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(2.5, 2.5, 11.0, 11.0), 60 * 16, 280 * 16);
        p.setPen(Qt::NoPen);
        p.setBrush(ink);
        p.drawPolygon(QPolygonF({ QPointF(9.0, 0.8), QPointF(13.4, 3.0), QPointF(9.4, 5.6) }));
        break;
    }
    case Name::Open: {
        paintFolder(p, folderColour(Name::FolderYellow));
        p.setPen(QPen(QColor(0x3c, 0x44, 0x4f), 1.3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawLine(QPointF(8.0, 12.0), QPointF(8.0, 7.5));
        p.drawPolyline(QPolygonF({ QPointF(6.0, 9.5), QPointF(8.0, 7.5), QPointF(10.0, 9.5) }));
        break;
    }
    case Name::Download: {
        p.setPen(QPen(ink, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawLine(QPointF(8.0, 1.5), QPointF(8.0, 10.0));
        p.drawPolyline(QPolygonF({ QPointF(4.5, 6.5), QPointF(8.0, 10.0), QPointF(11.5, 6.5) }));
        p.drawPolyline(QPolygonF({ QPointF(2.0, 10.5), QPointF(2.0, 14.0), QPointF(14.0, 14.0), QPointF(14.0, 10.5) }));
        break;
    }
    case Name::NewFolder: {
        paintFolder(p, folderColour(Name::FolderYellow));
        p.setPen(QPen(QColor(0x3c, 0x44, 0x4f), 1.4, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8.0, 7.8), QPointF(8.0, 12.2));
        p.drawLine(QPointF(5.8, 10.0), QPointF(10.2, 10.0));
        break;
    }
    case Name::Delete: {
        p.setPen(QPen(ink, 1.3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawLine(QPointF(2.5, 4.0), QPointF(13.5, 4.0));
        p.drawPolyline(QPolygonF({ QPointF(6.0, 4.0), QPointF(6.5, 2.0), QPointF(9.5, 2.0), QPointF(10.0, 4.0) }));
        p.drawPolygon(QPolygonF({ QPointF(4.0, 4.0), QPointF(5.0, 14.5), QPointF(11.0, 14.5), QPointF(12.0, 4.0) }));
        p.drawLine(QPointF(7.0, 6.5), QPointF(7.0, 12.0));
        p.drawLine(QPointF(9.0, 6.5), QPointF(9.0, 12.0));
        break;
    }
    case Name::WebShare: {
        // Two links of a chain.
        p.setPen(QPen(ink, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        QTransform turn;
        turn.translate(8.0, 8.0);
        turn.rotate(-45.0);
        p.setTransform(turn, true);
        p.drawRoundedRect(QRectF(-7.0, -2.5, 7.5, 5.0), 2.5, 2.5);
        p.drawRoundedRect(QRectF(-0.5, -2.5, 7.5, 5.0), 2.5, 2.5);
        break;
    }
    case Name::Print: {
        p.setPen(QPen(ink, 1.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(4.5, 1.5, 7.0, 4.5));
        p.setBrush(ink);
        p.drawRoundedRect(QRectF(1.5, 6.0, 13.0, 6.0), 1.2, 1.2);
        p.setBrush(Qt::white);
        p.drawRect(QRectF(4.5, 9.5, 7.0, 5.0));
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
    case Name::Refresh:
        return "view-refresh";
    case Name::GoToPath:
        return "go-jump";
    case Name::Open:
        return "document-open";
    case Name::Caution:
        return "dialog-warning";
    case Name::Download:
        return "document-save";
    case Name::NewFolder:
        return "folder-new";
    case Name::Delete:
        return "edit-delete";
    case Name::WebShare:
        return "insert-link";
    case Name::Print:
        return "document-print";
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

Icons::Name Icons::bundledKind(const QString& mimeName, const QString& genericIconName)
{
    if (mimeName == QLatin1String("application/pdf"))
        return Name::FilePdf;
    if (mimeName == QLatin1String("text/csv"))
        return Name::FileSpreadsheet; // a table, whatever its generic kind says
    static const std::pair<const char*, Name> kinds[] = {
        { "image-x-generic", Name::FileImage },
        { "video-x-generic", Name::FileVideo },
        { "audio-x-generic", Name::FileAudio },
        { "x-office-document", Name::FileDocument },
        { "x-office-spreadsheet", Name::FileSpreadsheet },
        { "x-office-presentation", Name::FilePresentation },
        { "package-x-generic", Name::FileArchive },
        { "text-x-generic", Name::FileText },
    };
    for (const auto& [generic, kind] : kinds)
        if (genericIconName == QLatin1String(generic))
            return kind;
    return Name::File;
}

QIcon Icons::forFileName(const QString& fileName)
{
    static QHash<QString, QIcon> bySuffix;
    const qsizetype dot = fileName.lastIndexOf(u'.');
    const QString suffix = dot < 0 ? QString() : fileName.mid(dot + 1).toLower();
    if (auto it = bySuffix.constFind(suffix); it != bySuffix.constEnd())
        return *it;

    static const QMimeDatabase database;
    const QMimeType type = database.mimeTypeForFile(QStringLiteral("file.") + suffix, QMimeDatabase::MatchExtension);
    QIcon found;
    if (type.isValid() && !suffix.isEmpty()) {
        if (QIcon::hasThemeIcon(type.iconName()))
            found = QIcon::fromTheme(type.iconName());
        else if (QIcon::hasThemeIcon(type.genericIconName()))
            found = QIcon::fromTheme(type.genericIconName());
        else
            found = bundled(bundledKind(type.name(), type.genericIconName()));
    } else {
        found = icon(Name::File);
    }
    bySuffix.insert(suffix, found);
    return found;
}

} // namespace norvane
