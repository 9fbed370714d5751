// The operator's window: member view, log view, status bar, input line and
// the caption clock. It shows what the server publishes and changes the room
// only by posting the operator's line; it never handles a request itself,
// and the server may run on a thread of its own.
#pragma once

#include <QMainWindow>
#include <QTimer>

#include "operator/OperatorLink.h"
#include "ui/Desktop.h"
#include "ui/WindowLayout.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QStatusBar;

namespace velmor {

class OperatorWindow : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr int ClockIntervalMs = 60000;
  // Whether this program serves, or another instance already does.
  enum class Instance { Serving, Another };

  OperatorWindow(Clock& clock, Desktop& desktop, OperatorLink& server, QWidget* parent = nullptr);

  // Start-up: the clock timer runs; the caption clock is written unless
  // another instance serves.
  void StartClock(Instance instance);

  const WindowLayout& Layout() const { return layout_; }

  // Lays the controls out for the client area as it now is.
  void Relayout();
  void OnClockTick();
  // Enter in the input line: its text is posted and the line emptied.
  void OnInputEntered();

  // The menu.
  void OnExit();
  void OnShowAddress();
  void OnAbout();
  void OnHelp();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void BuildMenus();
  void PlaceControls(double width, double height);
  void FitPromptFont();
  void ShowCaptionClock();

  Clock& clock_;
  Desktop& desktop_;
  OperatorLink& server_;

  QWidget* clientArea_ = nullptr;
  QLabel* prompt_ = nullptr;
  QLineEdit* input_ = nullptr;
  QPlainTextEdit* logView_ = nullptr;
  QPlainTextEdit* memberView_ = nullptr;
  QStatusBar* statusBar_ = nullptr;
  QTimer* clockTimer_ = nullptr;
  WindowLayout layout_;
  // The client area in twips as last laid out. Kept as a fraction so that a
  // size given in twips survives the round trip through whole pixels.
  double clientWidthTwips_ = twips::ClientWidth;
  double clientHeightTwips_ = twips::ClientHeight;
};

}  // namespace velmor
