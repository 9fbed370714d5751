// The desktop's services as the window uses them: the clock, message boxes,
// opening a document with its viewer, and facts about this machine. The
// program wires in the system's; tests wire in fakes that record and never
// block.
#pragma once

#include <QDateTime>
#include <QString>

class QWidget;

namespace velmor {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual QDateTime Now() const = 0;
};

struct MessageRequest {
  enum class Buttons { OkOnly, OkHelp };
  QString text;
  QString title;
  Buttons choice = Buttons::OkOnly;
  // Opened by the Help button, which leaves the box open.
  QString helpFile;
};

class Desktop {
 public:
  virtual ~Desktop() = default;
  // Shows the box and returns when the operator has closed it.
  virtual void ShowMessage(const MessageRequest& request, QWidget* owner) = 0;
  // Opens the document at an absolute path with the viewer the desktop
  // associates with it. A missing or unreadable file is not handed to the
  // desktop at all, so nothing is shown; whether opening worked is not
  // reported.
  virtual void OpenDocument(const QString& path) = 0;
  virtual QString LocalIP() const = 0;
  virtual QString ProgramFolder() const = 0;
};

class SystemClock : public Clock {
 public:
  QDateTime Now() const override { return QDateTime::currentDateTime(); }
};

class SystemDesktop : public Desktop {
 public:
  void ShowMessage(const MessageRequest& request, QWidget* owner) override;
  void OpenDocument(const QString& path) override;
  QString LocalIP() const override;
  QString ProgramFolder() const override;

 protected:
  // Hands an existing file to the desktop's opener.
  virtual void Launch(const QString& absolutePath);
};

}  // namespace velmor
