// The program's icon, drawn in code: an operator panel with an arrow pointing into it.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace romlift {

QPixmap ProgramPixmap(int size);  // 32 or 16 look right; any size is drawn
QIcon ProgramIcon();              // both images, 32 x 32 and 16 x 16

}  // namespace romlift
