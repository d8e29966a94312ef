// Lets tests answer the modal file selection: when an answer is set it runs instead of exec() on
// the live, filled dialog and returns what exec() would have. Unset, nothing changes.
#pragma once

#include <functional>

namespace romlift {

class CFileSelectDlg;

namespace test_seams {

using FileSelectAnswer = std::function<int(CFileSelectDlg& dialog)>;

// An empty function removes the answer.
void SetFileSelectAnswer(FileSelectAnswer answer);
// The answer if one is set, else dialog.exec().
int RunFileSelect(CFileSelectDlg& dialog);

}  // namespace test_seams
}  // namespace romlift
