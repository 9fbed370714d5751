#pragma once

#include <QIcon>
#include <QPixmap>

namespace velmor {

// The program's 32 × 32, 16-colour icon, drawn in ui/icons/velmor.xpm.
QPixmap AppIconPixmap();
QIcon AppIcon();

}  // namespace velmor
