#include "app/ui/NetPrintListWindowController.h"

#include "app/logic/StorageServiceLogic.h"
#include "app/state/AppDataManager.h"
#include "app/ui/FileDataBrowserCell.h"
#include "app/ui/Icons.h"
#include "app/ui/NetPrintInfoController.h"
#include "app/ui/UiText.h"
#include "app/ui/WindowSupport.h"
#include "platform/Log.h"

#include <QAbstractScrollArea>
#include <QColumnView>
#include <QHBoxLayout>
#include <QPushButton>
#include <QStandardItemModel>
#include <QVBoxLayout>

namespace norvane {

namespace {

constexpr int kListWidth = 200;
constexpr int kDetailWidth = 400;

} // namespace

NetPrintListWindowController::NetPrintListWindowController(std::shared_ptr<AppDataManager> manager, QObject* parent)
    : QObject(parent)
    , manager_(std::move(manager))
{
    window_ = new QWidget(nullptr, Qt::Window);
    window_->setObjectName(QStringLiteral("netPrintListWindow"));
    window_->setWindowTitle(uiText("ui_print_list_title"));
    window_->setAccessibleName(window_->windowTitle());
    auto* layout = new QVBoxLayout(window_);

    model_ = new QStandardItemModel(this);
    browser_ = new QColumnView(window_);
    browser_->setObjectName(QStringLiteral("printBrowser"));
    browser_->setAccessibleName(uiText("ui_print_list_title"));
    browser_->setItemDelegate(new FileDataBrowserCell(browser_));
    browser_->setModel(model_);
    detail_ = new NetPrintInfoController(manager_);
    // The column view gives its preview column the width of the widget in it, not of the widths set.
    detail_->setMinimumWidth(kDetailWidth - 48);
    browser_->setPreviewWidget(detail_);
    // The detail fits its column: no scrolling sideways under it.
    if (auto* column = qobject_cast<QAbstractScrollArea*>(detail_->parentWidget()->parentWidget()))
        column->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    browser_->setColumnWidths({ kListWidth, kDetailWidth });
    browser_->setMinimumSize(kListWidth + kDetailWidth + 8, 340);
    layout->addWidget(browser_, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto* refreshButton = new QPushButton(uiText("ui_refresh"), window_);
    refreshButton->setObjectName(QStringLiteral("printRefresh"));
    buttons->addWidget(refreshButton);
    layout->addLayout(buttons);

    connect(refreshButton, &QPushButton::clicked, this, &NetPrintListWindowController::refresh);
    connect(browser_, &QColumnView::updatePreviewWidget, this, [this](const QModelIndex& index) {
        const auto list = manager_->netPrintList();
        const auto row = static_cast<std::size_t>(index.row());
        detail_->setRecord(
            index.isValid() && row < list.size() ? std::optional<NetPrintInfo>(list[row]) : std::nullopt);
    });
    detail_->listChanged = [this] { reloadColumn(); };
    WindowEvents::watch(window_)->shown = [this] {
        Log::line("Print list shown");
        reloadColumn();
    };
}

NetPrintListWindowController::~NetPrintListWindowController()
{
    delete window_.data();
}

void NetPrintListWindowController::showWindow()
{
    if (window_->isVisible())
        reloadColumn();
    showCentred(window_);
}

void NetPrintListWindowController::reloadColumn()
{
    model_->clear();
    for (const NetPrintInfo& record : manager_->netPrintList()) {
        auto* item = new QStandardItem(
            Icons::forFileName(QString::fromStdString(record.fileName)), QString::fromStdString(record.fileName));
        item->setEditable(false);
        item->setFlags(item->flags() | Qt::ItemNeverHasChildren);
        model_->appendRow(item);
    }
    // The column view forgets its widths with its model's rows.
    browser_->setColumnWidths({ kListWidth, kDetailWidth });
    detail_->setRecord(std::nullopt);
}

void NetPrintListWindowController::refresh()
{
    QPointer<NetPrintListWindowController> self(this);
    StorageServiceLogic::getNetPrintInfo<NetPrintInfo>(
        [self](std::int32_t result, std::optional<std::vector<NetPrintInfo>> jobs) {
            if (!self || result != 1 || !jobs)
                return;
            self->manager_->setNetPrintList(std::move(*jobs));
            self->reloadColumn();
        });
}

} // namespace norvane
