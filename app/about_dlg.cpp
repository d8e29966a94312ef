#include "about_dlg.h"

#include <array>

#include <QLabel>
#include <QPushButton>

#include "icon.h"
#include "version.h"

namespace romlift {
namespace {

using dialog::Control;
using dialog::Kind;
using dialog::kNoId;

constexpr std::array kControls{
    Control{kNoId, Kind::Static, "", 11, 17, 20, 20, 0},  // the icon
    Control{kNoId, Kind::Static, version::kAboutLine, 40, 10, 119, 8, 0},
    Control{CAboutDlg::kOk, Kind::PushButton, "OK", 178, 7, 50, 14,
            dialog::kTabStop | dialog::kDefault},
};
constexpr dialog::Template kTemplate{"About Romlift", 235, 55, 8, kControls};

}  // namespace

const dialog::Template& CAboutDlg::Layout() {
    return kTemplate;
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    dialog::Build(*this, kTemplate);
    // The builder makes the controls in table order: the first label is the icon's place.
    const auto labels = findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
    if (!labels.isEmpty()) {
        labels.front()->setObjectName("icon");
        labels.front()->setPixmap(ProgramPixmap(32));
        // An icon control takes the icon's own size at its place, whatever the template says;
        // in the template's 20 x 20 units the 32-pixel icon lost its bottom rows.
        labels.front()->resize(labels.front()->sizeHint());
    }
    auto* ok = dialog::Find<QPushButton>(*this, kOk);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    ok->setFocus();
}

}  // namespace romlift
