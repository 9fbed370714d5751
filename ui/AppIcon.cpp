#include "ui/AppIcon.h"

#include "ui/icons/velmor.xpm"

namespace velmor {

QPixmap AppIconPixmap() { return QPixmap(velmor_icon); }

QIcon AppIcon() { return QIcon(AppIconPixmap()); }

}  // namespace velmor
