// The operator's window: member view, log view, status line, input line and
// the caption clock. It shows what the server publishes and changes the room
// only by posting the operator's line; it never handles a request itself,
// and the server may run on a thread of its own.
#pragma once

#include <QMainWindow>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <string>

#include "net/ChatServer.h"
#include "ui/Desktop.h"
#include "ui/FormLayout.h"

class QAction;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QStatusBar;

namespace velmor {

class Form1 : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr int ClockIntervalMs = 60000;
  // Whether this program serves, or another instance already does.
  enum class Instance { Serving, Another };

  Form1(Clock& clock, Desktop& desktop, ChatServer& server, QWidget* parent = nullptr);

  // Start-up: the timer runs; the caption clock is written unless another
  // instance serves.
  void Form_Load(Instance instance);

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
  void BuildMenus();
  void PlaceControls(double width, double height);
  void FitPromptFont();

  Clock& Now;
  Desktop& Services;
  ChatServer& WSock;

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
};

}  // namespace velmor
