#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "ErrorDisplay.h"
#include "FormSupport.h"
#include "ModalHelper.h"
#include "QtFormView.h"
#include "testing/FakePlatform.h"
#include "update/Exceptions.h"

TEST(WithFullStop, AlwaysAppendsAFullStop) {
  const struct {
    const char* message;
    const char* shown;
  } cases[] = {
      {"Hardware antwortet nicht !", "Hardware antwortet nicht !."},
      {"3F Hardware antwortet falsch !", "3F Hardware antwortet falsch !."},
      {"Kann Zeile nicht einfügen", "Kann Zeile nicht einfügen."},
      {"Ende.", "Ende.."},
      {"", "."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WithFullStop(QString::fromUtf8(c.message)), QString::fromUtf8(c.shown));
  }
}

// The window's box for a failure that leaves a handler, as the form's guard
// puts it up.
TEST(RunGuarded, ShowsEveryFailureButTheSilentAbortInAStopBox) {
  TQtFormView view(std::make_shared<FakePlatform>());
  const struct {
    const char* name;
    std::function<void()> handler;
    const char* text;  // nullptr: no box
  } cases[] = {
      {"abort", [] { throw EAbort(); }, nullptr},
      {"no failure", [] {}, nullptr},
      {"timeout", [] { throw ESerialException("Hardware antwortet nicht !"); },
       "Hardware antwortet nicht !."},
      {"wrong byte", [] { throw ESerialException("0A Hardware antwortet falsch !"); },
       "0A Hardware antwortet falsch !."},
      {"list", [] { throw EOutOfResources(kNoLineMessage); }, "Kann Zeile nicht einfügen."},
      {"other", [] { throw std::logic_error("kaputt"); }, "kaputt."},
      {"not a std::exception", [] { throw 42; }, "Unbekannter Fehler."},
  };
  for (const auto& c : cases) {
    BoxCloser closer;
    bool returned = false;
    RunGuardedWith(c.handler,
                   [&view](const std::string& message) { view.ShowExceptionBox(message); });
    returned = true;
    EXPECT_TRUE(returned);
    if (c.text == nullptr) {
      EXPECT_TRUE(closer.boxes.isEmpty()) << c.name;
      continue;
    }
    ASSERT_EQ(closer.boxes.size(), 1) << c.name;
    const SeenBox& box = closer.boxes.front();
    EXPECT_EQ(box.text, QString::fromUtf8(c.text)) << c.name;
    EXPECT_EQ(box.title, view.ApplicationTitleText());
    EXPECT_FALSE(box.title.isEmpty());
    EXPECT_EQ(box.icon, QMessageBox::Critical);
    EXPECT_EQ(box.buttonCount, 1);
    EXPECT_FALSE(box.hasParent);
    EXPECT_EQ(box.modality, Qt::ApplicationModal);
  }
}
