// The questions the Download dialog puts to a person, as its owner wants them asked. Each answer,
// when set, runs instead of exec() on the live, filled dialog and returns what exec() would have;
// unset, the dialog shows and waits for the person.
#pragma once

#include <functional>

class QInputDialog;

namespace romlift {

class CFileSelectDlg;

struct DownloadPrompts {
    // Several firmware files match the model: which one goes out.
    std::function<int(CFileSelectDlg& dialog)> fileSelect;
    // The station wants the unit's serial number before anything is sent.
    std::function<int(QInputDialog& dialog)> unitSerial;
};

}  // namespace romlift
