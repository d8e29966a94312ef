#include "ports_table.h"

#include <unistd.h>

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QTimer>

#include "com_map.h"
#include "machine_checks.h"
#include "row_table.h"

namespace romlift {
namespace {

constexpr int kDialogPorts = 4;  // the numbers the Download dialog offers

QString Text(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

QString ComText(const PortRow& row) {
    return row.com > 0 ? QStringLiteral("COM%1").arg(row.com) : QStringLiteral("none");
}

}  // namespace

PortsTable::PortsTable(QWidget* parent) : QTreeWidget(parent) {
    setObjectName("ports");
    SetUpRowTable(*this, {{"COM", "COM255"},
                          {"Device", "/dev/ttyUSB10"},
                          {"Adapter", "0403:6001 FT232R USB UART, serial A50285BI"},
                          {"Driver", "cdc_acm"},
                          {"State", ""}});
    Refresh();
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &PortsTable::Refresh);
    timer->start(kRefreshMs);
}

void PortsTable::Refresh() {
    ports::ComMap map(ports::PortsPaths::ForThisProcess());
    // romlift-cli doctor's checks: what they warn of goes beside its device, or under the table.
    const std::vector<ports::Finding> findings = ports::Examine(map);
    QString problem;
    for (const std::string& p : map.Problems()) {
        problem += (problem.isEmpty() ? "" : "\n") + Text(p);
    }
    std::vector<PortRow> rows = ListPortRows(map, ::getpid());
    for (const ports::Finding& f : findings) {
        if (f.level == ports::Level::Ok || f.check == "holder") {
            continue;  // the state says who holds a port
        }
        std::string said = std::string(ports::LevelName(f.level)) + ": " + f.text;
        if (!f.fix.empty()) {
            said += " (fix: " + f.fix + ")";
        }
        bool placed = false;
        for (PortRow& row : rows) {
            if (!f.device.empty() && row.device == f.device) {
                row.state += "; " + said;
                placed = true;
            }
        }
        if (!placed) {
            problem += (problem.isEmpty() ? "" : "\n") + Text(said);
        }
    }
    if (problem != mapProblem_) {
        mapProblem_ = problem;
        emit Problem(problem);
    }
    if (rows == rows_) {
        return;  // the current row and the scroll position stay as they are
    }
    const QString current = currentItem() != nullptr ? currentItem()->text(kDevice) : QString();
    rows_ = std::move(rows);
    clear();
    for (const PortRow& row : rows_) {
        auto* item = new QTreeWidgetItem(this, {ComText(row), Text(row.device), Text(row.adapter),
                                                Text(row.driver), Text(row.state)});
        item->setToolTip(kState, Text(row.state));
        item->setToolTip(kAdapter, Text(row.adapter));
        if (item->text(kDevice) == current) {
            setCurrentItem(item);
        }
    }
    // A device folder of its own (ROMLIFT_DEV) makes long paths: they show whole.
    if (sizeHintForColumn(kDevice) > columnWidth(kDevice)) {
        resizeColumnToContents(kDevice);
    }
}

const PortRow* PortsTable::Current() const {
    const int i = currentItem() != nullptr ? indexOfTopLevelItem(currentItem()) : -1;
    return i >= 0 && i < static_cast<int>(rows_.size()) ? &rows_[i] : nullptr;
}

QMenu* PortsTable::MakeRowMenu() {
    const PortRow* row = Current();
    if (row == nullptr) {
        return nullptr;
    }
    auto* menu = new QMenu(this);
    menu->setObjectName("portMenu");
    for (int com = 1; com <= kDialogPorts; ++com) {
        QAction* a = menu->addAction(QStringLiteral("Assign COM&%1").arg(com));
        a->setObjectName(QStringLiteral("assign%1").arg(com));
        a->setEnabled(row->numberable && row->com != com);
        connect(a, &QAction::triggered, this, [this, com] { AssignCurrent(com); });
    }
    QAction* forget = menu->addAction(row->com > 0 ? QStringLiteral("&Forget COM%1").arg(row->com)
                                                   : QStringLiteral("&Forget"));
    forget->setObjectName("forget");
    forget->setEnabled(row->numberable && row->source == ports::ComSource::MapFile);
    connect(forget, &QAction::triggered, this, &PortsTable::ForgetCurrent);
    return menu;
}

bool PortsTable::AssignCurrent(int com) {
    const PortRow* row = Current();
    if (row == nullptr) {
        return false;
    }
    ports::ComMap map(ports::PortsPaths::ForThisProcess());
    map.Refresh();
    std::string why;
    const bool saved = map.Swap(com, row->device, &why);
    emit Problem(saved ? mapProblem_ : Text(why));
    Refresh();
    return saved;
}

bool PortsTable::ForgetCurrent() {
    const PortRow* row = Current();
    if (row == nullptr || row->com == 0) {
        return false;
    }
    ports::ComMap map(ports::PortsPaths::ForThisProcess());
    std::string why;
    const bool saved = map.Forget(row->com, &why);
    emit Problem(saved ? mapProblem_ : Text(why));
    Refresh();
    return saved;
}

void PortsTable::ShowMenu(const QPoint& at) {
    QMenu* menu = MakeRowMenu();
    if (menu == nullptr) {
        return;
    }
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(at);
}

void PortsTable::contextMenuEvent(QContextMenuEvent* event) {
    if (event->reason() == QContextMenuEvent::Mouse) {
        QTreeWidgetItem* item = itemAt(event->pos());  // the viewport's coordinates
        if (item == nullptr) {
            return;
        }
        setCurrentItem(item);
        ShowMenu(event->globalPos());
        return;
    }
    // The Menu key: under the current row.
    if (currentItem() != nullptr) {
        ShowMenu(viewport()->mapToGlobal(visualItemRect(currentItem()).center()));
    }
}

void PortsTable::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
        QContextMenuEvent menu(QContextMenuEvent::Keyboard, QPoint(), QPoint());
        contextMenuEvent(&menu);
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

}  // namespace romlift
