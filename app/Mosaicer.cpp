// Program entry: the arguments, the application and its title, the window, the event loop.
#include <QApplication>
#include <QFileInfo>
#include <QFont>
#include <QIcon>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/Dialogs.h"
#include "app/MainForm.h"

namespace {

constexpr const char* kUsage =
    "Usage: mosaicer [PICTURE]\n"
    "Cuts a JPEG picture at random into fragments, writes each as its own JPEG file and gives\n"
    "the HTML that puts the picture back together.\n"
    "\n"
    "  PICTURE     open this JPEG picture at start instead of asking for one\n"
    "  --help      show this help and exit\n"
    "  --version   show the version and exit\n"
    "\n"
    "Without a desktop, mosaicer-cli does the same work from a shell.\n";

bool Set(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

}  // namespace

int main(int argc, char** argv) {
  // Answered before Qt starts, so that they need no display.
  const char* picture = nullptr;
  for (int i = 1; i < argc; ++i) {
    const bool option = argv[i][0] == '-' && argv[i][1] != '\0';
    if (argc == 2 && std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argc == 2 && std::strcmp(argv[i], "--version") == 0) {
      std::printf("mosaicer %s\n", MOSAICER_VERSION);
      return 0;
    }
    if (option || picture) {
      std::fprintf(stderr, "mosaicer: unexpected argument \"%s\"\n\n%s", argv[i], kUsage);
      return 2;
    }
    picture = argv[i];
  }
  // Qt would abort here with advice to reinstall it.
  if (!Set("DISPLAY") && !Set("WAYLAND_DISPLAY") && !Set("QT_QPA_PLATFORM")) {
    std::fputs("mosaicer needs a graphical desktop. Without one, mosaicer-cli does the same work from a shell.\n",
               stderr);
    return 1;
  }

  QApplication application(argc, argv);
  QFont::insertSubstitutions("Tahoma", {"Liberation Sans", "DejaVu Sans"});
  QApplication::setFont(QFont("Tahoma", 8));
  mosaicer::InitAppResources();
  QApplication::setWindowIcon(QIcon(":/mosaicer.png"));
  QGuiApplication::setDesktopFileName("mosaicer");
  mosaicer::TApplication::SetTitle(mosaicer::TApplication::kBaseTitle);
  mosaicer::TQtDialogs dialogs;
  // The open dialog gives absolute paths; a path from a shell is made one the same way.
  const QString start = picture ? QFileInfo(QString::fromLocal8Bit(picture)).absoluteFilePath() : QString();
  const auto window = std::make_unique<mosaicer::TfrmMain>(dialogs, start);
  window->show();
  return application.exec();
}
