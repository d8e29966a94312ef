#include "vek_doc.h"

#include <QFile>
#include <QFileInfo>

namespace romlift {
namespace {
int created = 0;
}

CVekDoc::CVekDoc() {
    ++created;
}

int CVekDoc::Created() {
    return created;
}

bool CVekDoc::Open(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return false;
    }
    path_ = QFileInfo(path).absoluteFilePath();
    return true;
}

bool CVekDoc::Save(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    f.close();
    path_ = QFileInfo(path).absoluteFilePath();
    return true;
}

QString CVekDoc::Title() const {
    return path_.isEmpty() ? QStringLiteral("Untitled") : QFileInfo(path_).fileName();
}

}  // namespace romlift
