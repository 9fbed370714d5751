// Build tool: writes the program's icon as a PNG for the desktop's icon theme.
#include <QGuiApplication>
#include <QImage>

#include <cstdio>

#include "ui/icons/velmor.xpm"

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fputs("usage: velmor-icon-png OUTPUT.png\n", stderr);
    return 2;
  }
  const QImage icon(velmor_icon);
  return !icon.isNull() && icon.save(argv[1], "PNG") ? 0 : 1;
}
