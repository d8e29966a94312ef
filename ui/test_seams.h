// Lets tests answer the modal file selection and the question for the unit's serial number: when
// an answer is set it runs instead of exec() on the live, filled dialog and returns what exec()
// would have. Unset, nothing changes.
#pragma once

#include <functional>

class QInputDialog;

namespace romlift {

class CFileSelectDlg;

namespace test_seams {

using FileSelectAnswer = std::function<int(CFileSelectDlg& dialog)>;

// An empty function removes the answer.
void SetFileSelectAnswer(FileSelectAnswer answer);
// The answer if one is set, else dialog.exec().
int RunFileSelect(CFileSelectDlg& dialog);

using SerialAnswer = std::function<int(QInputDialog& dialog)>;
void SetSerialAnswer(SerialAnswer answer);
int RunSerialQuestion(QInputDialog& dialog);

}  // namespace test_seams
}  // namespace romlift
