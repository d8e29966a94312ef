#include "file_select_dialog.h"

#include <array>

#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>

#include "dialog_template.h"
#include "download_state.h"

namespace romlift {
namespace {

using dialog::Control;
using dialog::Kind;

constexpr std::array kControls{
    Control{CFileSelectDlg::kOk, Kind::PushButton, "OK", 210, 121, 50, 14,
            dialog::kTabStop | dialog::kDefault},
    Control{CFileSelectDlg::kCancel, Kind::PushButton, "Cancel", 267, 120, 50, 14,
            dialog::kTabStop},
    Control{CFileSelectDlg::kFileList, Kind::ListView, "", 2, 26, 340, 85,
            dialog::kTabStop | dialog::kBorder},
};
constexpr dialog::Template kTemplate{"Select File To Download", 350, 143, 10, kControls};

struct Column {
    const char* title;
    int width;
};
constexpr std::array<Column, 5> kColumns{{
    {"File Name", 150},
    {"Date", 150},
    {"Path", 180},
    {"Size", 100},
    {"Time", 100},
}};

}  // namespace

const dialog::Template& CFileSelectDlg::Layout() {
    return kTemplate;
}

CFileSelectDlg::CFileSelectDlg(DownloadState& state, QWidget* parent)
    : QDialog(parent), state_(state) {
    dialog::Build(*this, kTemplate);
    list_ = dialog::Find<QTreeWidget>(*this, kFileList);
    auto* ok = dialog::Find<QPushButton>(*this, kOk);
    connect(ok, &QPushButton::clicked, this, &CFileSelectDlg::accept);
    connect(dialog::Find<QPushButton>(*this, kCancel), &QPushButton::clicked, this,
            &CFileSelectDlg::reject);

    list_->setRootIsDecorated(false);
    list_->setItemsExpandable(false);
    list_->setUniformRowHeights(true);
    list_->setSortingEnabled(false);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setAllColumnsShowFocus(true);
    // The highlighted row must stay visible while OK has the focus.
    QPalette pal = list_->palette();
    for (QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText}) {
        pal.setColor(QPalette::Inactive, role, pal.color(QPalette::Active, role));
    }
    list_->setPalette(pal);

    QHeaderView* header = list_->header();
    header->setSectionsClickable(false);
    header->setSectionsMovable(false);
    header->setStretchLastSection(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    QStringList titles;
    for (const Column& c : kColumns) {
        titles << QString::fromUtf8(c.title);
    }
    list_->setHeaderLabels(titles);
    for (int i = 0; i < static_cast<int>(kColumns.size()); ++i) {
        header->resizeSection(i, kColumns[i].width);
    }

    rows_ =
        MakeFileRows(FindFirmware(state_.driversFolder, state_.modelPrefix), state_.programFolder);
    for (const FileRow& row : rows_) {
        // Names are bytes from the file system; invalid UTF-8 shows as U+FFFD, the choice keeps
        // the bytes.
        auto* item = new QTreeWidgetItem(QStringList{
            QString::fromUtf8(row.name), QString::fromUtf8(row.date), QString::fromUtf8(row.path),
            QString::fromUtf8(row.size), QString::fromUtf8(row.time)});
        list_->addTopLevelItem(item);
        state_.chosenFileName = row.name;
    }
    if (!rows_.empty()) {
        // The last row is highlighted and current, so the arrow keys move on from it; nothing
        // scrolls to it.
        const QModelIndex last = list_->model()->index(static_cast<int>(rows_.size()) - 1, 0);
        list_->selectionModel()->setCurrentIndex(
            last, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }

    // The highlighted row is the choice, however it got highlighted: a click, the arrow keys,
    // Home or End, typing its name. Writing a file other than the one in view would put the
    // wrong firmware into a unit.
    connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        const QModelIndexList picked = list_->selectionModel()->selectedRows();
        if (picked.size() == 1 && picked.front().row() < static_cast<int>(rows_.size())) {
            state_.chosenFileName = rows_[picked.front().row()].name;
        }
    });
    ok->setFocus();
}

void CFileSelectDlg::accept() {
    state_.imageFileName = state_.driversFolder / state_.chosenFileName;
    QDialog::accept();
}

void CFileSelectDlg::reject() {
    state_.cancel = 1;
    QDialog::reject();
}

}  // namespace romlift
