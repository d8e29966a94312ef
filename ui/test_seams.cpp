#include "test_seams.h"

#include <utility>

#include <QInputDialog>

#include "file_select_dialog.h"

namespace romlift::test_seams {
namespace {

FileSelectAnswer& Answer() {
    static FileSelectAnswer answer;
    return answer;
}

SerialAnswer& Serial() {
    static SerialAnswer answer;
    return answer;
}

}  // namespace

void SetFileSelectAnswer(FileSelectAnswer answer) {
    Answer() = std::move(answer);
}

int RunFileSelect(CFileSelectDlg& dialog) {
    if (Answer()) {
        return Answer()(dialog);
    }
    return dialog.exec();
}

void SetSerialAnswer(SerialAnswer answer) {
    Serial() = std::move(answer);
}

int RunSerialQuestion(QInputDialog& dialog) {
    if (Serial()) {
        return Serial()(dialog);
    }
    return dialog.exec();
}

}  // namespace romlift::test_seams
