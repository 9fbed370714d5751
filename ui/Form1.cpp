#include "ui/Form1.h"

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

#include "ui/AppIcon.h"
#include "ui/BuildInfo.h"
#include "ui/CaptionClock.h"
#include "ui/frmAbout.h"

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

Form1::Form1(Clock& clock, Desktop& desktop, ChatServer& server, QWidget* parent)
    : QMainWindow(parent), Now(clock), Services(desktop), WSock(server) {
  setObjectName("Form1");
  setWindowTitle(QString::fromStdU16String(build::ApplicationTitle));
  setWindowIcon(AppIcon());

  ClientArea = new QWidget(this);
  ClientArea->setObjectName("ClientArea");
  setCentralWidget(ClientArea);

  Label2 = new QLabel(QStringLiteral("Velmor送信文："), ClientArea);
  Label2->setObjectName("Label2");
  Label2->setTextFormat(Qt::PlainText);
  Text2 = new QLineEdit(ClientArea);
  Text2->setObjectName("Text2");
  // The operator's line has no length limit; Qt's default cuts a long paste.
  Text2->setMaxLength(std::numeric_limits<int>::max());
  Text3 = MakeView("Text3", ClientArea);
  Text4 = MakeView("Text4", ClientArea);
  SB = new QStatusBar(ClientArea);
  SB->setObjectName("SB");
  SB->setSizeGripEnabled(false);
  setTabOrder(Text2, Text3);
  setTabOrder(Text3, Text4);
  Text2->setFocus();
  ClientArea->installEventFilter(this);
  connect(Text2, &QLineEdit::returnPressed, this, [this] { Text2_KeyPress(13); });

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(ClockIntervalMs);
  connect(Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);

  BuildMenus();

  // The server publishes at most once per frame; each view is replaced
  // whole, the member view only when membership changed.
  connect(&WSock, &ChatServer::ViewsChanged, this, [this] {
    const RoomViews news = WSock.TakeViews();
    if (news.MemberList) Text4->setPlainText(*news.MemberList);
    if (news.Log) Text3->setPlainText(*news.Log);
    if (news.Status) SB->showMessage(*news.Status);
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
void Form1::FitPromptFont() {
  const int width = twips::ToPixels(twips::Label2Width, logicalDpiX());
  QFont font = Label2->font();
  for (int pixels = QFontInfo(font).pixelSize(); pixels > 6; --pixels) {
    font.setPixelSize(pixels);
    if (QFontMetrics(font).horizontalAdvance(Label2->text()) <= width) break;
  }
  Label2->setFont(font);
}

void Form1::BuildMenus() {
  auto addItem = [this](QMenu* menu, const char* name, const QString& text, std::int16_t index,
                        void (Form1::*handler)(std::int16_t)) {
    QAction* action = menu->addAction(text);
    action->setObjectName(name);
    action->setData(index);
    connect(action, &QAction::triggered, this, [this, handler, index] { (this->*handler)(index); });
  };
  QMenu* f1 = menuBar()->addMenu(QStringLiteral("ファイル"));
  f1->setObjectName("f1");
  addItem(f1, "f11", QStringLiteral("終了"), 0, &Form1::f11_Click);
  QMenu* set1 = menuBar()->addMenu(QStringLiteral("設定"));
  set1->setObjectName("set1");
  addItem(set1, "set11", QStringLiteral("IPアドレス"), 0, &Form1::set11_Click);
  QMenu* h1 = menuBar()->addMenu(QStringLiteral("ヘルプ"));
  h1->setObjectName("h1");
  addItem(h1, "h11", QStringLiteral("バージョン"), 0, &Form1::h11_Click);
  addItem(h1, "h11", QStringLiteral("ヘルプ"), 1, &Form1::h11_Click);
}

void Form1::Form_Load(Instance instance) {
  Timer1->start();
  if (instance == Instance::Another) return;
  ShowCaptionClock();
}

void Form1::ShowCaptionClock() { setWindowTitle(CaptionClockText(Now.Now())); }

void Form1::Timer1_Timer() { ShowCaptionClock(); }

bool Form1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ClientArea && event->type() == QEvent::Resize) Form_Resize();
  return QMainWindow::eventFilter(watched, event);
}

void Form1::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  // Minimising leaves Qt's client area as it was; the layout sees 0 × 0.
  if (event->type() == QEvent::WindowStateChange) Form_Resize();
}

void Form1::Form_Resize() {
  if (isMinimized()) {
    PlaceControls(0, 0);
    return;
  }
  const int dx = logicalDpiX();
  const int dy = logicalDpiY();
  if (ClientArea->width() != twips::ToPixels(ClientWidthTwips, dx)) {
    ClientWidthTwips = twips::FromPixels(ClientArea->width(), dx);
  }
  if (ClientArea->height() != twips::ToPixels(ClientHeightTwips, dy)) {
    ClientHeightTwips = twips::FromPixels(ClientArea->height(), dy);
  }
  PlaceControls(ClientWidthTwips, ClientHeightTwips);
}

void Form1::PlaceControls(double width, double height) {
  CurrentLayout = FormLayout::For(width, height);
  const FormLayout& l = CurrentLayout;
  const int dx = logicalDpiX();
  const int dy = logicalDpiY();
  const auto x = [dx](double t) { return twips::ToPixels(t, dx); };
  const auto y = [dy](double t) { return twips::ToPixels(t, dy); };
  Label2->setGeometry(x(l.Label2Left), y(l.Label2Top), x(twips::Label2Width),
                      y(twips::Label2Height));
  Text2->setGeometry(x(l.Text2Left), y(l.Text2Top), x(l.Text2Width), y(twips::Text2Height));
  Text3->setGeometry(x(l.Text3Left), y(l.Text3Top), x(l.Text3Width), y(l.Text3Height));
  Text4->setGeometry(x(l.Text4Left), y(l.Text4Top), x(l.Text4Width), y(l.Text4Height));
  // The status bar is docked along the bottom, across the full width.
  const int barHeight = y(twips::StatusBarHeight);
  SB->setGeometry(0, ClientArea->height() - barHeight, ClientArea->width(), barHeight);
}

void Form1::Text2_KeyPress(std::int16_t keyAscii) {
  if (keyAscii != 13) return;
  const QString text = Text2->text();
  if (text.isEmpty()) return;
  // Appended and shown on the server's thread, between two requests; the
  // log view follows when the server publishes it.
  WSock.PostOperatorLine(text);
  Text2->clear();
}

void Form1::f11_Click(std::int16_t) { close(); }

void Form1::set11_Click(std::int16_t) {
  MessageRequest request;
  if (!Services.LocalIP().isEmpty()) {
    request.Text = QStringLiteral("VelmorのIPアドレス、") + Services.LocalIP() +
                   QStringLiteral("をPibbetにお知らせください");
    request.Title = QStringLiteral("Pibbet");
  } else {
    request.Text = QStringLiteral("VelmorのIPアドレスを取得できません");
    request.Title = QStringLiteral("Pibbetエラーメッセージ");
    request.Choice = MessageRequest::Buttons::OkHelp;
    request.HelpFile = Services.ProgramFolder() + QStringLiteral("/Pibbet.chm");
    request.HelpContext = 0;
  }
  Services.ShowMessage(request, this);
}

void Form1::h11_Click(std::int16_t index) {
  if (index == 0) {
    frmAbout about(this);
    about.exec();
  } else if (index == 1) {
    Services.OpenDocument(Services.ProgramFolder() + QStringLiteral("/Norrow.chm"));
  }
}

}  // namespace velmor
