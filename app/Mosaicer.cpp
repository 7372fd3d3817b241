// Program entry: the application, its title, the window, the event loop.
#include <QApplication>
#include <QFont>
#include <QIcon>

#include "app/Dialogs.h"
#include "app/MainForm.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QFont::insertSubstitutions("Tahoma", {"Liberation Sans", "DejaVu Sans"});
  QApplication::setFont(QFont("Tahoma", 8));
  mosaicer::InitAppResources();
  QApplication::setWindowIcon(QIcon(":/mosaicer.png"));
  QGuiApplication::setDesktopFileName("mosaicer");
  mosaicer::TApplication::SetTitle("Norvel Crumb");
  mosaicer::TQtDialogs dialogs;
  auto* window = new mosaicer::TfrmMain(dialogs);
  window->show();
  const int code = application.exec();
  delete window;
  return code;
}
