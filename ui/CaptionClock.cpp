#include "ui/CaptionClock.h"

#include "ui/BuildInfo.h"

namespace velmor {

QString CaptionClockText(const QDateTime& now) {
  static const QString weekdays = QStringLiteral("月火水木金土日");  // Qt counts Monday as 1
  const QDate date = now.date();
  const QTime time = now.time();
  const int hour12 = time.hour() % 12 == 0 ? 12 : time.hour() % 12;
  const auto two = [](int value) {
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
  };
  return QStringLiteral("%1[%2/%3/%4/(%5) %6 %7 : %8 : %9]")
      .arg(QString::fromStdU16String(build::ApplicationTitle), two(date.year() % 100),
           two(date.month()), two(date.day()), weekdays.at(date.dayOfWeek() - 1),
           time.hour() < 12 ? QStringLiteral("AM") : QStringLiteral("PM"), two(hour12),
           two(time.minute()), two(time.second()));
}

}  // namespace velmor
