// Program start-up: create the update window, run its FormCreate, show it
// centred, run the message loop until the window is closed, destroy it.

#include <exception>
#include <memory>

#include <QApplication>
#include <QIcon>
#include <QString>

#include "ErrorDisplay.h"
#include "FormSupport.h"
#include "QtFormView.h"
#include "serial/posix/PosixPlatform.h"
#include "serial/posix/PosixPortMap.h"

int main(int argc, char* argv[]) {
  PrepareProgramStart();
  QApplication app(argc, argv);
  UseProgramStyle();
  const QString title = ApplicationTitle(QCoreApplication::applicationFilePath());
  QCoreApplication::setApplicationName(title);
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/tarnup/tarnup.ico")));

  std::unique_ptr<TQtFormView> form;
  try {
    form = std::make_unique<TQtFormView>(MakePosixPlatform());
  } catch (const std::exception& e) {
    ShowExceptionBox(title, QString::fromUtf8(e.what()));
    return 1;
  }
  // Each "COM n" names in its tooltip what it reaches on this machine.
  form->Form().SetPortTooltipSource(
      [roots = DefaultPortMapRoots()](unsigned count) { return ComPortTooltips(count, roots); });
  form->show();
  const int result = QApplication::exec();
  form.reset();  // closes the port if it is still open
  return result;
}
