// The latest rows of the download record, newest first, in the main window. The record is read
// on a thread of its own, so a stalled record server never holds up the window; a read that
// has not ended when the window goes is told to give up, and left to end on its own.
#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QTimer>
#include <QTreeWidget>

#include "download_row.h"

namespace romlift {

class RecentDownloads : public QTreeWidget {
    Q_OBJECT
  public:
    enum Column { kTime, kPort, kModel, kImage, kOutcome };
    static constexpr int kRows = 20;
    static constexpr int kReloadMs = 5000;  // other programs and stations add rows meanwhile

    explicit RecentDownloads(QWidget* parent = nullptr);
    ~RecentDownloads() override;

    // Starts reading the record again, unless a read is under way.
    void Reload();
    // Whether a read is under way.
    bool Reading() const;

  signals:
    // Why the record could not be read, or that none is kept; "" once it reads.
    void Problem(const QString& text);
    // A read has ended (its rows are shown, or its problem said).
    void Loaded();

  private:
    struct Read;
    void Collect();
    void Show(const std::vector<record::DownloadRow>& rows);

    std::shared_ptr<Read> read_;
    std::thread worker_;
    QTimer collect_;
    std::vector<record::DownloadRow> shown_;
};

}  // namespace romlift
