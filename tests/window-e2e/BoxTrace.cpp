// Preloaded into the Qt program under test: writes the text of every message
// box it shows to standard error, one line each ("box: " and the text with
// its line breaks as \n), as Wine's msgbox trace does for tarnup.exe. It only
// watches; the program behaves as without it.

#include <cstdio>

#include <QCoreApplication>
#include <QEvent>
#include <QMessageBox>
#include <QObject>

namespace {

class BoxTrace final : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show) {
      if (const auto* box = qobject_cast<const QMessageBox*>(watched)) {
        const QByteArray text =
            box->text().replace(QLatin1Char('\n'), QLatin1String("\\n")).toUtf8();
        std::fprintf(stderr, "box: %s\n", text.constData());
        std::fflush(stderr);
      }
    }
    return false;
  }
};

void InstallBoxTrace() {
  QCoreApplication* app = QCoreApplication::instance();
  app->installEventFilter(new BoxTrace(app));
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(InstallBoxTrace)
