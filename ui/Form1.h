// The operator's window: member view, log view, status line, input line and
// the caption clock, over the server it holds. It shows what the room tells
// it and never handles a request itself.
#pragma once

#include <QMainWindow>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <string>

#include "net/ChatServer.h"
#include "net/StatusEcho.h"
#include "ui/Desktop.h"
#include "ui/FormLayout.h"

class QAction;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QStatusBar;

namespace velmor {

class Form1 : public QMainWindow, private RoomDisplay {
  Q_OBJECT

 public:
  // The views are rewritten at most this often under load; a quiet change
  // shows at once.
  static constexpr int ViewRefreshMs = 16;
  static constexpr int ClockIntervalMs = 60000;

  Form1(Clock& clock, Desktop& desktop, QWidget* parent = nullptr);
  ~Form1() override;

  // Start-up: unless another instance runs, the server listens, the first
  // status text is set and the caption clock written.
  void Form_Load(std::uint16_t port = ChatServer::DefaultPort);

  ChatServer& Server() { return *WSock; }
  const FormLayout& Layout() const { return CurrentLayout; }

  void Form_Resize();
  void Timer1_Timer();
  void ShowCaptionClock();
  // The operator input line: Enter (character code 13) posts its text.
  void Text2_KeyPress(std::int16_t keyAscii);

  void f11_Click(std::int16_t index);
  void set11_Click(std::int16_t index);
  void h11_Click(std::int16_t index);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void ShowRoom(const std::u16string& memberList, const std::u16string& log) override;
  void ApplyViews();
  void BuildMenus();
  void PlaceControls(double width, double height);
  void FitPromptFont();

  Clock& Now;
  Desktop& Services;
  StatusEcho Status;
  std::unique_ptr<ChatServer> WSock;

  QWidget* ClientArea = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* Text2 = nullptr;
  QPlainTextEdit* Text3 = nullptr;
  QPlainTextEdit* Text4 = nullptr;
  QStatusBar* SB = nullptr;
  QTimer* Timer1 = nullptr;
  FormLayout CurrentLayout;
  // The client area in twips as last laid out. Kept as a fraction so that a
  // size given in twips survives the round trip through whole pixels.
  double ClientWidthTwips = twips::ClientWidth;
  double ClientHeightTwips = twips::ClientHeight;

  // What the views show and what they are to show next.
  std::u16string ShownMembers, ShownLog, PendingMembers, PendingLog;
  bool ViewsPending = false;
  QTimer ViewCooldown;
};

}  // namespace velmor
