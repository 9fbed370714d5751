// The rule every listening port follows when accepting fails (out of
// descriptors, out of memory): the failure is reported once, the port rests
// for AcceptRetryMs instead of spinning on a listener that stays readable,
// and accepting resumes by itself. The report is re-armed by the next
// connection accepted.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

namespace velmor {

class AcceptRule : public QObject {
  Q_OBJECT

 public:
  static constexpr int AcceptRetryMs = 500;

  // pause(true) stops accepting, pause(false) resumes; report says why
  // accepting failed, once per spell of failures.
  AcceptRule(std::function<void(bool)> pause, std::function<void(const QString&)> report,
             QObject* parent);
  void Accepted() { reported_ = false; }
  void Failed(const QString& reason);

 private:
  std::function<void(bool)> pause_;
  std::function<void(const QString&)> report_;
  QTimer resume_;
  bool reported_ = false;
};

}  // namespace velmor
