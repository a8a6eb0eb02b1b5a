#pragma once

#include <QStyledItemDelegate>

#include <functional>

namespace norvane {

// The browser's row: the picture scaled into a 16 x 16 box 4 points from the left, centred in it
// and in the row's height; the text from 22 points on, cut at its end with an ellipsis when it
// does not fit; a row 20 points high. A folder has an arrow at its right end, as columns show
// where they lead. The painting of a row is what asks for its thumbnail (`painted`), so only
// rows a person sees ever cause a request.
class FileDataBrowserCell : public QStyledItemDelegate {
    Q_OBJECT
public:
    static constexpr int kImageLeft = 4;
    static constexpr int kImageSide = 16;
    static constexpr int kTextLeft = 22;
    static constexpr int kRowHeight = 20;

    explicit FileDataBrowserCell(QObject* parent = nullptr);

    // Told of every row painted, with the view it was painted in.
    std::function<void(const QModelIndex& index, const QWidget* view)> painted;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

} // namespace norvane
