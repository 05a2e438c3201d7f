// Program start-up: create the update window, run its FormCreate, show it
// centred, run the message loop until the window is closed, destroy it.

#include <exception>
#include <memory>

#include <QApplication>
#include <QIcon>
#include <QString>
#include <QStringList>

#include "ErrorDisplay.h"
#include "FormSupport.h"
#include "TarnupMain.h"
#include "serial/PosixPlatform.h"

namespace {

bool StyleChosen(const QStringList& arguments) {
  if (!qEnvironmentVariableIsEmpty("QT_STYLE_OVERRIDE")) return true;
  for (const QString& argument : arguments) {
    if (argument == QLatin1String("-style") || argument.startsWith(QLatin1String("-style="))) {
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char* argv[]) {
  // The layout is in pixels and is not rescaled for the screen's density.
  if (qEnvironmentVariableIsEmpty("QT_ENABLE_HIGHDPI_SCALING")) {
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
  }
  QApplication app(argc, argv);
  // The classic style draws the dialog's controls as the layout was designed
  // (group title on the frame, sunken list); an operator's choice of style
  // (-style, QT_STYLE_OVERRIDE) is left alone.
  if (!StyleChosen(QCoreApplication::arguments()))
    QApplication::setStyle(QStringLiteral("Windows"));
  const QString title = ApplicationTitle(QCoreApplication::applicationFilePath());
  QCoreApplication::setApplicationName(title);
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/tarnup/tarnup.ico")));

  std::unique_ptr<TTarnUpForm> form;
  try {
    form = std::make_unique<TTarnUpForm>(MakePosixPlatform());
  } catch (const std::exception& e) {
    ShowExceptionBox(title, QString::fromUtf8(e.what()));
    return 1;
  }
  form->show();
  const int result = QApplication::exec();
  form.reset();  // closes the port if it is still open
  return result;
}
