// GoogleTest main for widget tests: a QApplication, offscreen unless the
// environment asks for a platform. A test that leaves a top-level window
// behind makes the program fail (ctest runs each test on its own, so the
// test that left it fails).
#include <QApplication>
#include <QWidget>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

class NoWindowLeftBehind : public ::testing::EmptyTestEventListener {
 public:
  bool left_ = false;
  void OnTestEnd(const ::testing::TestInfo& test) override {
    // Widgets released with deleteLater go now.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (QWidget* window : QApplication::topLevelWidgets()) {
      std::fprintf(stderr, "%s.%s left a top-level window behind: %s \"%s\"\n",
                   test.test_suite_name(), test.name(), window->metaObject()->className(),
                   qPrintable(window->objectName()));
      left_ = true;
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  auto* check = new NoWindowLeftBehind;
  ::testing::UnitTest::GetInstance()->listeners().Append(check);
  const int result = RUN_ALL_TESTS();
  return result != 0 || check->left_ ? 1 : 0;
}
