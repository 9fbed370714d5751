// The About dialog: the program's icon, title and version, and when browsers
// are served over TLS, the certificate's SHA-256 fingerprint below them (to
// be read out to a member comparing it with what the browser shows). Built
// anew for every showing and gone when closed.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace velmor {

class AboutDialog : public QDialog {
  Q_OBJECT

 public:
  explicit AboutDialog(QWidget* owner = nullptr, const QString& webFingerprint = {});

 protected:
  // Esc presses OK, the dialog's cancel button.
  void reject() override { OnOk(); }

 private:
  void ShowTitleAndVersion();
  void OnOk();

  QLabel* icon_ = nullptr;
  QLabel* title_ = nullptr;
  QLabel* version_ = nullptr;
  QLabel* fingerprint_ = nullptr;
  QPushButton* ok_ = nullptr;
};

}  // namespace velmor
