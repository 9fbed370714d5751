// Fakes of the desktop's services and a helper for modal dialogs.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

#include <gtest/gtest.h>
#include <vector>

#include "ui/Desktop.h"

namespace velmor::testing {

struct FakeClock : Clock {
  QDateTime time = QDateTime(QDate(2004, 3, 3), QTime(14, 5, 9));
  QDateTime Now() const override { return time; }
};

struct FakeDesktop : Desktop {
  QString address;
  std::vector<MessageRequest> messages;
  std::vector<QString> opened;
  void ShowMessage(const MessageRequest& request, QWidget*) override {
    messages.push_back(request);
  }
  void OpenDocument(const QString& path) override { opened.push_back(path); }
  QString LocalIP() const override { return address; }
  QString ProgramFolder() const override { return QStringLiteral("/opt/velmor/bin"); }
};

// Runs action on the next modal dialog once it is shown. When none shows
// within a few seconds the test fails, and every dialog still open is
// rejected, so that a dialog that never turns modal cannot hang the test.
inline void OnNextModal(std::function<void(QWidget*)> action) {
  auto* poll = new QTimer(qApp);
  auto tries = std::make_shared<int>(0);
  QObject::connect(poll, &QTimer::timeout, [poll, tries, action] {
    if (QWidget* modal = QApplication::activeModalWidget();
        modal != nullptr && modal->isVisible()) {
      poll->stop();
      poll->deleteLater();
      action(modal);
    } else if (++*tries > 500) {
      poll->stop();
      poll->deleteLater();
      ADD_FAILURE() << "no modal dialog was shown within 5 s";
      for (QWidget* window : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QDialog*>(window)) dialog->reject();
      }
      // A dialog that was never shown may not leave its loop on reject; the
      // loop this timer fired in is then ended directly.
      if (QThread::currentThread()->loopLevel() > 0) QCoreApplication::exit(1);
    }
  });
  poll->start(10);
}

}  // namespace velmor::testing
