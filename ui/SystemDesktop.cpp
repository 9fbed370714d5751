#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "operator/OperatorLink.h"
#include "ui/Desktop.h"

namespace velmor {

// A plain message box: the text under a title, OK, and where asked a Help
// button that opens the help file and leaves the box open.
void SystemDesktop::ShowMessage(const MessageRequest& request, QWidget* owner) {
  QDialog box(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint);
  box.setObjectName("MessageBox");
  box.setWindowTitle(request.title);
  auto* layout = new QVBoxLayout(&box);
  auto* text = new QLabel(request.text, &box);
  text->setObjectName("MessageText");
  text->setTextFormat(Qt::PlainText);
  layout->addWidget(text);
  auto* buttons = new QDialogButtonBox(&box);
  QPushButton* ok = buttons->addButton(QDialogButtonBox::Ok);
  ok->setDefault(true);
  QObject::connect(ok, &QPushButton::clicked, &box, &QDialog::accept);
  if (request.choice == MessageRequest::Buttons::OkHelp) {
    // An action button: clicking it does not close the box.
    QPushButton* help = buttons->addButton(QStringLiteral("ヘルプ"), QDialogButtonBox::ActionRole);
    help->setObjectName("HelpButton");
    const QString file = request.helpFile;
    QObject::connect(help, &QPushButton::clicked, &box, [this, file] { OpenDocument(file); });
  }
  layout->addWidget(buttons);
  box.exec();
}

void SystemDesktop::OpenDocument(const QString& path) {
  // Some desktops answer a missing file with an error box of their own.
  const QFileInfo file(path);
  if (!file.isAbsolute() || !file.isFile() || !file.isReadable()) return;
  Launch(file.absoluteFilePath());
}

void SystemDesktop::Launch(const QString& absolutePath) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(absolutePath));
}

QString SystemDesktop::LocalIP() const { return LocalIPv4Address(); }

QString SystemDesktop::ProgramFolder() const { return QCoreApplication::applicationDirPath(); }

}  // namespace velmor
