// The view: the serial ports present, with their COM numbers, and the latest rows of the
// download record.
#pragma once

#include <QWidget>

class QLabel;

namespace romlift {

class PortsTable;
class RecentDownloads;

class CVekView : public QWidget {
    Q_OBJECT
  public:
    explicit CVekView(QWidget* parent = nullptr);

    PortsTable* Ports() const { return ports_; }
    RecentDownloads* Downloads() const { return downloads_; }
    // The notes under each table: map file trouble, a number not given; the record unread.
    QLabel* PortsNote() const { return portsNote_; }
    QLabel* DownloadsNote() const { return downloadsNote_; }

  private:
    PortsTable* ports_;
    RecentDownloads* downloads_;
    QLabel* portsNote_;
    QLabel* downloadsNote_;
};

}  // namespace romlift
