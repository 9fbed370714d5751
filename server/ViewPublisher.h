// The room as the operator's window sees it: the member and log views and
// the status line, published at most once per display frame (a quiet change
// at once), one snapshot at a time. The window may live on another thread;
// it takes what changed with TakeViews when told that something waits.
// Nothing is rendered until something listens: a server without a window
// spends nothing on views.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "operator/OperatorLink.h"
#include "room/RoomPorts.h"

namespace velmor {

class ViewPublisher : public QObject, public RoomDisplay, public StatusLine {
  Q_OBJECT

 public:
  // The views are published at most this often under load.
  static constexpr int PublishIntervalMs = 16;
  using CurrentViews = std::function<std::pair<std::u16string_view, std::u16string_view>()>;

  // Every status text also goes to echo (standard error); current gives the
  // room's member list and log when the views are published.
  ViewPublisher(StatusLine& echo, CurrentViews current, QObject* parent);

  void ShowRoom() override;
  void SetStatusText(const std::u16string& text) override;

  // What changed since the last take: at most one snapshot waits, however long
  // the window takes to come for it. Any thread.
  RoomViews TakeViews();
  // Something listens for ViewsChanged now: the views are rendered from here
  // on, the room as it stands first. Any thread.
  void StartRendering();

 signals:
  // Something waits in TakeViews; not raised again until it has been taken.
  void ViewsChanged();

 private:
  void SchedulePublish();
  void Publish();

  StatusLine& echo_;
  CurrentViews current_;
  std::u16string shownMembers_, shownLog_;
  std::u16string pendingStatus_;
  bool viewsPending_ = false;  // only ever set once rendering has started
  bool statusPending_ = false;
  std::atomic<bool> rendering_{false};
  QTimer cooldown_;
  std::mutex mailboxGuard_;
  RoomViews mailbox_;
};

}  // namespace velmor
