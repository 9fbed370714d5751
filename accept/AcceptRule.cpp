#include "accept/AcceptRule.h"

#include <utility>

namespace velmor {

AcceptRule::AcceptRule(std::function<void(bool)> pause, std::function<void(const QString&)> report,
                       QObject* parent)
    : QObject(parent), pause_(std::move(pause)), report_(std::move(report)), resume_(this) {
  resume_.setSingleShot(true);
  resume_.setInterval(AcceptRetryMs);
  connect(&resume_, &QTimer::timeout, this, [this] { pause_(false); });
}

void AcceptRule::Failed(const QString& reason) {
  pause_(true);
  resume_.start();
  if (reported_) return;
  reported_ = true;
  report_(reason);
}

}  // namespace velmor
