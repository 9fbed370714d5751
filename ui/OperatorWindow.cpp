#include "ui/OperatorWindow.h"

#include <QApplication>
#include <QEvent>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QStatusBar>

#include <limits>

#include "ui/AboutDialog.h"
#include "ui/AppIcon.h"
#include "ui/BuildInfo.h"
#include "ui/CaptionClock.h"

namespace velmor {

namespace {

QPlainTextEdit* MakeView(const char* name, QWidget* parent) {
  auto* view = new QPlainTextEdit(parent);
  view->setObjectName(name);
  // Read-only for the operator, who may still select and copy.
  view->setReadOnly(true);
  view->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  view->setTabChangesFocus(true);
  view->setLineWrapMode(QPlainTextEdit::NoWrap);
  view->setUndoRedoEnabled(false);
  return view;
}

}  // namespace

// The object names are the ones the window has always had; tests and
// assistive tools find the controls by them.
OperatorWindow::OperatorWindow(Clock& clock, Desktop& desktop, OperatorLink& server,
                               QWidget* parent)
    : QMainWindow(parent), clock_(clock), desktop_(desktop), server_(server) {
  setObjectName("Form1");
  setWindowTitle(QString::fromStdU16String(build::ApplicationTitle));
  setWindowIcon(AppIcon());

  clientArea_ = new QWidget(this);
  clientArea_->setObjectName("ClientArea");
  setCentralWidget(clientArea_);

  prompt_ = new QLabel(QStringLiteral("Velmor送信文："), clientArea_);
  prompt_->setObjectName("Label2");
  prompt_->setTextFormat(Qt::PlainText);
  input_ = new QLineEdit(clientArea_);
  input_->setObjectName("Text2");
  // The operator's line has no length limit; Qt's default cuts a long paste.
  input_->setMaxLength(std::numeric_limits<int>::max());
  logView_ = MakeView("Text3", clientArea_);
  memberView_ = MakeView("Text4", clientArea_);
  statusBar_ = new QStatusBar(clientArea_);
  statusBar_->setObjectName("SB");
  statusBar_->setSizeGripEnabled(false);
  setTabOrder(input_, logView_);
  setTabOrder(logView_, memberView_);
  input_->setFocus();
  clientArea_->installEventFilter(this);
  connect(input_, &QLineEdit::returnPressed, this, &OperatorWindow::OnInputEntered);

  clockTimer_ = new QTimer(this);
  clockTimer_->setObjectName("Timer1");
  clockTimer_->setInterval(ClockIntervalMs);
  connect(clockTimer_, &QTimer::timeout, this, &OperatorWindow::OnClockTick);

  BuildMenus();

  // The server publishes at most once per frame; each view is replaced
  // whole, the member view only when membership changed.
  connect(&server_, &OperatorLink::ViewsChanged, this, [this] {
    const RoomViews fresh = server_.TakeViews();
    if (fresh.memberList) memberView_->setPlainText(*fresh.memberList);
    if (fresh.log) logView_->setPlainText(*fresh.log);
    if (fresh.status) {
      statusBar_->showMessage(*fresh.status);
      // A text longer than the bar (an address with a certificate's
      // fingerprint) is whole in its tooltip.
      statusBar_->setToolTip(*fresh.status);
    }
  });

  const int dpiX = logicalDpiX();
  const int dpiY = logicalDpiY();
  resize(twips::ToPixels(twips::ClientWidth, dpiX),
         twips::ToPixels(twips::ClientHeight, dpiY) + menuBar()->sizeHint().height());
  FitPromptFont();
  PlaceControls(twips::ClientWidth, twips::ClientHeight);
}

// The prompt keeps its fixed size; its font shrinks until the whole prompt
// fits, rather than losing its last characters.
void OperatorWindow::FitPromptFont() {
  const int width = twips::ToPixels(twips::PromptWidth, logicalDpiX());
  QFont font = prompt_->font();
  for (int pixels = QFontInfo(font).pixelSize(); pixels > 6; --pixels) {
    font.setPixelSize(pixels);
    if (QFontMetrics(font).horizontalAdvance(prompt_->text()) <= width) break;
  }
  prompt_->setFont(font);
}

// The two help items share one object name and tell themselves apart by
// their index, as they always have.
void OperatorWindow::BuildMenus() {
  auto addItem = [this](QMenu* menu, const char* name, const QString& text, int index,
                        void (OperatorWindow::*handler)()) {
    QAction* action = menu->addAction(text);
    action->setObjectName(name);
    action->setData(index);
    connect(action, &QAction::triggered, this, handler);
  };
  QMenu* file = menuBar()->addMenu(QStringLiteral("ファイル"));
  file->setObjectName("f1");
  addItem(file, "f11", QStringLiteral("終了"), 0, &OperatorWindow::OnExit);
  QMenu* settings = menuBar()->addMenu(QStringLiteral("設定"));
  settings->setObjectName("set1");
  addItem(settings, "set11", QStringLiteral("IPアドレス"), 0, &OperatorWindow::OnShowAddress);
  QMenu* help = menuBar()->addMenu(QStringLiteral("ヘルプ"));
  help->setObjectName("h1");
  addItem(help, "h11", QStringLiteral("バージョン"), 0, &OperatorWindow::OnAbout);
  addItem(help, "h11", QStringLiteral("ヘルプ"), 1, &OperatorWindow::OnHelp);
}

void OperatorWindow::StartClock(Instance instance) {
  clockTimer_->start();
  if (instance == Instance::Another) return;
  ShowCaptionClock();
}

void OperatorWindow::ShowCaptionClock() { setWindowTitle(CaptionClockText(clock_.Now())); }

void OperatorWindow::OnClockTick() { ShowCaptionClock(); }

bool OperatorWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == clientArea_ && event->type() == QEvent::Resize) Relayout();
  return QMainWindow::eventFilter(watched, event);
}

void OperatorWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  // Minimising leaves Qt's client area as it was; the layout sees 0 × 0.
  if (event->type() == QEvent::WindowStateChange) Relayout();
}

void OperatorWindow::Relayout() {
  if (isMinimized()) {
    PlaceControls(0, 0);
    return;
  }
  const int dx = logicalDpiX();
  const int dy = logicalDpiY();
  if (clientArea_->width() != twips::ToPixels(clientWidthTwips_, dx)) {
    clientWidthTwips_ = twips::FromPixels(clientArea_->width(), dx);
  }
  if (clientArea_->height() != twips::ToPixels(clientHeightTwips_, dy)) {
    clientHeightTwips_ = twips::FromPixels(clientArea_->height(), dy);
  }
  PlaceControls(clientWidthTwips_, clientHeightTwips_);
}

void OperatorWindow::PlaceControls(double width, double height) {
  layout_ = WindowLayout::For(width, height);
  const WindowLayout& l = layout_;
  const int dx = logicalDpiX();
  const int dy = logicalDpiY();
  const auto x = [dx](double t) { return twips::ToPixels(t, dx); };
  const auto y = [dy](double t) { return twips::ToPixels(t, dy); };
  prompt_->setGeometry(x(l.promptLeft), y(l.promptTop), x(twips::PromptWidth),
                       y(twips::PromptHeight));
  input_->setGeometry(x(l.inputLeft), y(l.inputTop), x(l.inputWidth), y(twips::InputHeight));
  logView_->setGeometry(x(l.logLeft), y(l.logTop), x(l.logWidth), y(l.logHeight));
  memberView_->setGeometry(x(l.membersLeft), y(l.membersTop), x(l.membersWidth),
                           y(l.membersHeight));
  // The status bar is docked along the bottom, across the full width.
  const int barHeight = y(twips::StatusBarHeight);
  statusBar_->setGeometry(0, clientArea_->height() - barHeight, clientArea_->width(), barHeight);
}

void OperatorWindow::OnInputEntered() {
  const QString text = input_->text();
  if (text.isEmpty()) return;
  // Appended and shown on the server's thread, between two requests; the
  // log view follows when the server publishes it.
  server_.PostOperatorLine(text);
  input_->clear();
}

void OperatorWindow::OnExit() { close(); }

void OperatorWindow::OnShowAddress() {
  MessageRequest request;
  if (!desktop_.LocalIP().isEmpty()) {
    request.text = QStringLiteral("VelmorのIPアドレス、") + desktop_.LocalIP() +
                   QStringLiteral("をPibbetにお知らせください");
    request.title = QStringLiteral("Pibbet");
  } else {
    request.text = QStringLiteral("VelmorのIPアドレスを取得できません");
    request.title = QStringLiteral("Pibbetエラーメッセージ");
    request.choice = MessageRequest::Buttons::OkHelp;
    request.helpFile = desktop_.ProgramFolder() + QStringLiteral("/Pibbet.chm");
  }
  desktop_.ShowMessage(request, this);
}

void OperatorWindow::OnAbout() {
  AboutDialog about(this, server_.WebFingerprint());
  about.exec();
}

void OperatorWindow::OnHelp() {
  desktop_.OpenDocument(desktop_.ProgramFolder() + QStringLiteral("/Norrow.chm"));
}

}  // namespace velmor
