#include "vek_view.h"

#include <QLabel>
#include <QVBoxLayout>

#include "ports_table.h"
#include "recent_downloads.h"

namespace romlift {
namespace {

QLabel* Heading(const QString& text, QWidget* buddy, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    label->setBuddy(buddy);  // Alt+P and Alt+L reach the tables from the keyboard
    return label;
}

QLabel* Note(const char* name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->hide();
    return label;
}

void Say(QLabel* note, const QString& text) {
    note->setText(text);
    note->setVisible(!text.isEmpty());
}

}  // namespace

CVekView::CVekView(QWidget* parent)
    : QWidget(parent),
      ports_(new PortsTable(this)),
      downloads_(new RecentDownloads(this)),
      portsNote_(Note("portsNote", this)),
      downloadsNote_(Note("downloadsNote", this)) {
    setObjectName("view");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Heading("Serial &ports", ports_, this));
    layout->addWidget(ports_, 2);
    layout->addWidget(portsNote_);
    layout->addSpacing(layout->spacing() * 2);
    layout->addWidget(Heading("&Latest downloads", downloads_, this));
    layout->addWidget(downloads_, 3);
    layout->addWidget(downloadsNote_);
    connect(ports_, &PortsTable::Problem, this, [this](const QString& t) { Say(portsNote_, t); });
    connect(downloads_, &RecentDownloads::Problem, this,
            [this](const QString& t) { Say(downloadsNote_, t); });
}

}  // namespace romlift
