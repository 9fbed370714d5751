#include "net/ViewPublisher.h"

#include "room/SameText.h"

namespace velmor {

ViewPublisher::ViewPublisher(StatusLine& echo, CurrentViews current, QObject* parent)
    : QObject(parent), Echo(echo), Current(std::move(current)), Cooldown(this) {
  Cooldown.setSingleShot(true);
  connect(&Cooldown, &QTimer::timeout, this, [this] {
    if (ViewsPending || StatusPending) Publish();
  });
}

void ViewPublisher::SetStatusText(const std::u16string& text) {
  Echo.SetStatusText(text);
  PendingStatus = text;
  StatusPending = true;
  SchedulePublish();
}

// Under a flood of requests the views would change thousands of times a
// second: a change is only noted here, and the views are taken from the room
// when published.
void ViewPublisher::ShowRoom(std::u16string_view, std::u16string_view) {
  ViewsPending = true;
  SchedulePublish();
}

void ViewPublisher::SchedulePublish() {
  if (!Cooldown.isActive()) Publish();
}

void ViewPublisher::Publish() {
  RoomViews news;
  if (StatusPending) {
    StatusPending = false;
    news.status = QString::fromStdU16String(PendingStatus);
  }
  if (ViewsPending) {
    ViewsPending = false;
    const auto [members, log] = Current();
    if (!SameText(members, ShownMembers)) {
      ShownMembers.assign(members);
      news.memberList = QString::fromStdU16String(ShownMembers);
    }
    if (!SameText(log, ShownLog)) {
      ShownLog.assign(log);
      news.log = QString::fromStdU16String(ShownLog);
    }
  }
  bool waiting = false;
  {
    // Newer news replaces what the window has not taken yet.
    const std::lock_guard<std::mutex> hold(MailboxGuard);
    waiting = Mailbox.memberList || Mailbox.log || Mailbox.status;
    if (news.memberList) Mailbox.memberList = std::move(news.memberList);
    if (news.log) Mailbox.log = std::move(news.log);
    if (news.status) Mailbox.status = std::move(news.status);
  }
  if (!waiting) emit ViewsChanged();
  Cooldown.start(PublishIntervalMs);
}

RoomViews ViewPublisher::TakeViews() {
  const std::lock_guard<std::mutex> hold(MailboxGuard);
  return std::exchange(Mailbox, RoomViews());
}

}  // namespace velmor
