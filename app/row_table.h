// The look both tables of the main window share: plain rows, one selected at a time, columns
// wide enough for the sample text each is given, the last taking the rest.
#pragma once

#include <initializer_list>
#include <utility>

#include <QHeaderView>
#include <QTreeWidget>

namespace romlift {

// `columns`: each heading with a sample of its widest usual text.
inline void SetUpRowTable(QTreeWidget& table,
                          std::initializer_list<std::pair<const char*, const char*>> columns) {
    table.setRootIsDecorated(false);
    table.setItemsExpandable(false);
    table.setUniformRowHeights(true);
    table.setSortingEnabled(false);
    table.setSelectionMode(QAbstractItemView::SingleSelection);
    table.setSelectionBehavior(QAbstractItemView::SelectRows);
    table.setAllColumnsShowFocus(true);
    QStringList headings;
    for (const auto& c : columns) {
        headings << QString::fromUtf8(c.first);
    }
    table.setHeaderLabels(headings);
    table.header()->setStretchLastSection(true);
    table.header()->setSectionsMovable(false);
    const QFontMetrics m(table.font());
    int i = 0;
    for (const auto& c : columns) {
        table.header()->resizeSection(i++, m.horizontalAdvance(QString::fromUtf8(c.second)) + 32);
    }
}

}  // namespace romlift
