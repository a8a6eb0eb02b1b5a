#include "app/ui/FileDataBrowserCell.h"

#include <QApplication>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QStyle>

namespace norvane {

namespace {

constexpr int kArrowWidth = 14;

// The picture's rectangle: its shape kept, as large as the 16 x 16 box allows, centred in it.
QRectF fitted(const QSizeF& size, const QRectF& box)
{
    if (size.isEmpty())
        return box;
    const QSizeF scaled = size.scaled(box.size(), Qt::KeepAspectRatio);
    return QRectF(box.x() + (box.width() - scaled.width()) / 2, box.y() + (box.height() - scaled.height()) / 2,
        scaled.width(), scaled.height());
}

} // namespace

FileDataBrowserCell::FileDataBrowserCell(QObject* parent)
    : QStyledItemDelegate(parent)
{ }

void FileDataBrowserCell::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QWidget* view = option.widget;
    QStyle* style = view ? view->style() : QApplication::style();
    // The row's background and selection as the style draws them, without its own text or icon.
    opt.text.clear();
    opt.icon = QIcon();
    opt.features &= ~QStyleOptionViewItem::HasDecoration;
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, view);

    const QRect row = option.rect;
    const QRectF box(row.left() + kImageLeft, row.top() + (row.height() - kImageSide) / 2.0, kImageSide, kImageSide);
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    const QVariant decoration = index.data(Qt::DecorationRole);
    painter->save();
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    if (decoration.canConvert<QPixmap>() && decoration.typeId() == QMetaType::QPixmap) {
        const QPixmap picture = decoration.value<QPixmap>();
        painter->drawPixmap(fitted(picture.deviceIndependentSize(), box), picture, QRectF(picture.rect()));
    } else if (decoration.typeId() == QMetaType::QIcon) {
        const QIcon icon = decoration.value<QIcon>();
        const QPixmap picture = icon.pixmap(QSize(kImageSide, kImageSide), ratio);
        painter->drawPixmap(fitted(picture.deviceIndependentSize(), box), picture, QRectF(picture.rect()));
    }
    painter->restore();

    const bool folder = !(index.flags() & Qt::ItemNeverHasChildren);
    const bool selected = option.state & QStyle::State_Selected;
    const QPalette::ColorGroup group = option.state & QStyle::State_Active ? QPalette::Active : QPalette::Inactive;
    QColor ink = option.palette.color(group, QPalette::Text);
    if (selected)
        ink = option.palette.color(group, QPalette::HighlightedText);
    else if (const QVariant foreground = index.data(Qt::ForegroundRole); foreground.isValid())
        ink = foreground.value<QBrush>().color();

    const QRect textRect(
        row.left() + kTextLeft, row.top(), row.width() - kTextLeft - (folder ? kArrowWidth : 2), row.height());
    const QString text = index.data(Qt::DisplayRole).toString();
    painter->save();
    painter->setFont(option.font);
    painter->setPen(ink);
    painter->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
        option.fontMetrics.elidedText(text, Qt::ElideRight, textRect.width()));
    if (folder) {
        // Where the folder leads: a small arrow at the row's right end.
        const qreal x = row.right() - kArrowWidth / 2.0 - 1;
        const qreal y = row.center().y() + 0.5;
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(Qt::NoPen);
        painter->setBrush(selected ? ink : option.palette.color(group, QPalette::PlaceholderText));
        painter->drawPolygon(QPolygonF({ QPointF(x - 2.5, y - 4.0), QPointF(x + 2.5, y), QPointF(x - 2.5, y + 4.0) }));
    }
    painter->restore();

    if (painted)
        painted(index, view);
}

QSize FileDataBrowserCell::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const QString text = index.data(Qt::DisplayRole).toString();
    const bool folder = !(index.flags() & Qt::ItemNeverHasChildren);
    return QSize(option.fontMetrics.horizontalAdvance(text) + kTextLeft + (folder ? kArrowWidth : 2), kRowHeight);
}

} // namespace norvane
