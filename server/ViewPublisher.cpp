#include "server/ViewPublisher.h"

#include "room/SameText.h"

namespace velmor {

ViewPublisher::ViewPublisher(StatusLine& echo, CurrentViews current, QObject* parent)
    : QObject(parent), echo_(echo), current_(std::move(current)), cooldown_(this) {
  cooldown_.setSingleShot(true);
  connect(&cooldown_, &QTimer::timeout, this, [this] {
    if (viewsPending_ || statusPending_) Publish();
  });
}

void ViewPublisher::SetStatusText(const std::u16string& text) {
  echo_.SetStatusText(text);
  pendingStatus_ = text;
  statusPending_ = true;
  SchedulePublish();
}

// Under a flood of requests the views would change thousands of times a
// second: a change is only noted here, and the views are taken from the room
// when published.
void ViewPublisher::ShowRoom() {
  // Nothing is pending until something listens: a change noted for no one
  // would keep the cooldown going round, and an idle server waking every
  // frame. Rendering starts with the room as it then stands.
  if (!rendering_.load(std::memory_order_relaxed)) return;
  viewsPending_ = true;
  SchedulePublish();
}

void ViewPublisher::StartRendering() {
  if (rendering_.exchange(true)) return;
  // On this publisher's own thread, which the caller's may not be.
  QMetaObject::invokeMethod(
      this,
      [this] {
        viewsPending_ = true;
        SchedulePublish();
      },
      Qt::QueuedConnection);
}

void ViewPublisher::SchedulePublish() {
  if (!cooldown_.isActive()) Publish();
}

void ViewPublisher::Publish() {
  RoomViews fresh;
  if (statusPending_) {
    statusPending_ = false;
    fresh.status = QString::fromStdU16String(pendingStatus_);
  }
  if (viewsPending_) {
    viewsPending_ = false;
    const auto [members, log] = current_();
    if (!SameText(members, shownMembers_)) {
      shownMembers_.assign(members);
      fresh.memberList = QString::fromStdU16String(shownMembers_);
    }
    if (!SameText(log, shownLog_)) {
      shownLog_.assign(log);
      fresh.log = QString::fromStdU16String(shownLog_);
    }
  }
  bool waiting = false;
  {
    // Newer views replace what the window has not taken yet.
    const std::lock_guard<std::mutex> hold(mailboxGuard_);
    waiting = mailbox_.memberList || mailbox_.log || mailbox_.status;
    if (fresh.memberList) mailbox_.memberList = std::move(fresh.memberList);
    if (fresh.log) mailbox_.log = std::move(fresh.log);
    if (fresh.status) mailbox_.status = std::move(fresh.status);
  }
  if (!waiting) emit ViewsChanged();
  cooldown_.start(PublishIntervalMs);
}

RoomViews ViewPublisher::TakeViews() {
  const std::lock_guard<std::mutex> hold(mailboxGuard_);
  return std::exchange(mailbox_, RoomViews());
}

}  // namespace velmor
