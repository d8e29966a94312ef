// The serial ports present, in the main window: looked at again a few times a second, so an
// adapter plugged in or pulled shows within a second. A row's menu (the context menu, or the
// Menu key / Shift+F10 on the current row) gives its device COM1 to COM4, swapping with the
// adapter that had the number, or forgets its number: the map file romlift-cli ports assign
// writes.
#pragma once

#include <vector>

#include <QTreeWidget>

#include "port_rows.h"

class QMenu;

namespace romlift {

class PortsTable : public QTreeWidget {
    Q_OBJECT
  public:
    enum Column { kCom, kDevice, kAdapter, kDriver, kState };
    static constexpr int kRefreshMs = 700;

    explicit PortsTable(QWidget* parent = nullptr);

    // Looks at the ports now.
    void Refresh();
    const std::vector<PortRow>& Rows() const { return rows_; }

    // The menu for the current row: "Assign COM1" .. "Assign COM4" and "Forget COMn"; nullptr
    // without a current row. Owned by the caller.
    QMenu* MakeRowMenu();
    // What the menu's entries do, for the current row. False, with the reason said through
    // Problem(), when the map file was not changed.
    bool AssignCurrent(int com);
    bool ForgetCurrent();

  signals:
    // A map file that does not read, or a number that could not be given or forgotten; "" when
    // all is well again.
    void Problem(const QString& text);

  protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    const PortRow* Current() const;
    void ShowMenu(const QPoint& at);

    std::vector<PortRow> rows_;
    QString mapProblem_;
};

}  // namespace romlift
