#pragma once

#include <QDateTime>
#include <QString>

namespace velmor {

// "Velmor[yy/mm/dd/(曜) AM|PM hh : mm : ss]" on the 12-hour clock, where the
// hours after midnight and after noon show 12.
QString CaptionClockText(const QDateTime& now);

}  // namespace velmor
