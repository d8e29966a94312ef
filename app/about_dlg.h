// The About box: the icon, the program name with its version, and OK.
#pragma once

#include <QDialog>

#include "dialog_template.h"

namespace romlift {

class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    enum Id { kOk = 1 };
    static const dialog::Template& Layout();

    explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace romlift
