// The About dialog: the program's icon, title and version. Built anew for
// every showing and gone when closed.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace velmor {

class frmAbout : public QDialog {
  Q_OBJECT

 public:
  explicit frmAbout(QWidget* owner = nullptr);

  void Form_Load();
  void cmdOK_Click();

 protected:
  // Esc presses OK, the dialog's cancel button.
  void reject() override { cmdOK_Click(); }

 private:
  QLabel* picIcon = nullptr;
  QLabel* lblTitle = nullptr;
  QLabel* lblVersion = nullptr;
  QPushButton* cmdOK = nullptr;
};

}  // namespace velmor
