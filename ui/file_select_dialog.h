// The list of firmware images that matched the selected model, for the user to pick one.
#pragma once

#include <vector>

#include <QDialog>

#include "dialog_template.h"

#include "firmware_locator.h"

class QPushButton;
class QTreeWidget;

namespace romlift {

struct DownloadState;

class CFileSelectDlg : public QDialog {
    Q_OBJECT
  public:
    enum Id { kOk = 1, kCancel = 2, kFileList = 1028 };

    // The control table the dialog is built from (for layout checks and screenshots).
    static const dialog::Template& Layout();

    // Lists the state's drivers folder for its model prefix, the last file highlighted. The
    // highlighted file is the choice, whether a click, the keyboard or type-ahead moved the
    // highlight. `state` must outlive the dialog.
    explicit CFileSelectDlg(DownloadState& state, QWidget* parent = nullptr);

    // OK: the image becomes drivers folder / chosen file name.
    void accept() override;
    // Cancel, Escape, the close box: the state's cancel flag is set.
    void reject() override;

  private:
    DownloadState& state_;
    std::vector<FileRow> rows_;
    QTreeWidget* list_;
};

}  // namespace romlift
