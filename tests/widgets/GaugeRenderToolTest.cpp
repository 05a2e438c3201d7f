// The gauge-render program: arguments, exit status and the picture it writes.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <QImage>
#include <QTemporaryDir>
#include <cmath>
#include <cstdlib>
#include <set>
#include <string>

namespace {

int RunTool(const std::string& args) {
  const std::string cmd = "QT_QPA_PLATFORM=offscreen " + std::string(GAUGE_RENDER_PATH) + " " +
                          args + " >/dev/null 2>&1";
  const int status = std::system(cmd.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const char* const kGood =
    "--kind bar --size 265x17 --border single --fore 0000FF --back FFFFFF --color C0C0C0 "
    "--min 0 --max 1014 --progress 507 --no-text";

TEST(GaugeRenderTool, WritesTheGaugePicture) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const std::string out = dir.filePath("g.png").toStdString();
  ASSERT_EQ(RunTool(std::string(kGood) + " " + out), 0);
  QImage img(QString::fromStdString(out));
  ASSERT_EQ(img.size(), QSize(265, 17));
  EXPECT_EQ(img.pixel(131, 8) & 0xFFFFFFu, 0x0000FFu);  // RRGGBB on the command line
  EXPECT_EQ(img.pixel(132, 8) & 0xFFFFFFu, 0xFFFFFFu);
  EXPECT_EQ(img.pixel(0, 0) & 0xFFFFFFu, 0u);
}

// On a screen scaled by 1, 1.25, 1.5 or 2 the gauge must show what a gauge
// that many times as large, with its font as much larger, shows at scale 1:
// every figure and the inverse-colour text drawn sharply in device pixels.
// Qt's own scaling of a scale-1 picture doubles every other pixel row and
// column at 1.5, and the text came out garbled besides, because Qt draws
// unhinted glyphs in a program with scaled screens.
TEST(GaugeRenderTool, ScaledScreenShowsTheGaugeDrawnAtDeviceSize) {
  struct Scale {
    const char* factor;
    int fontPx;  // 12 px times the factor
  };
  const Scale scales[] = {{"1", 12}, {"1.25", 15}, {"1.5", 18}, {"2", 24}};
  struct Kind {
    const char* name;
    int width, height;
  };
  const Kind kinds[] = {
      {"text", 81, 41}, {"bar", 265, 17}, {"vbar", 41, 81}, {"pie", 81, 41}, {"needle", 81, 41}};
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const std::string screen = dir.filePath("screen.png").toStdString();
  const std::string large = dir.filePath("large.png").toStdString();
  for (const Scale& scale : scales) {
    const double factor = std::stod(scale.factor);
    for (const Kind& kind : kinds) {
      SCOPED_TRACE(std::string(kind.name) + " at " + scale.factor);
      const std::string look = std::string("--kind ") + kind.name +
                               " --fore 0000FF --back FFFFFF --color C0C0C0 --max 1014 "
                               "--progress 507 ";
      const int width = static_cast<int>(std::lround(kind.width * factor));
      const int height = static_cast<int>(std::lround(kind.height * factor));
      ASSERT_EQ(RunTool(look + "--font-px 12 --size " + std::to_string(kind.width) + "x" +
                        std::to_string(kind.height) + " --scale " + scale.factor + " " + screen),
                0);
      ASSERT_EQ(RunTool(look + "--font-px " + std::to_string(scale.fontPx) + " --size " +
                        std::to_string(width) + "x" + std::to_string(height) + " " + large),
                0);
      const QImage shown =
          QImage(QString::fromStdString(screen)).convertToFormat(QImage::Format_RGB32);
      const QImage expected =
          QImage(QString::fromStdString(large)).convertToFormat(QImage::Format_RGB32);
      ASSERT_EQ(shown.size(), QSize(width, height));
      int differing = 0;
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) differing += shown.pixel(x, y) != expected.pixel(x, y);
      }
      EXPECT_EQ(differing, 0);
      if (std::string(kind.name) == "bar") {
        // Half the bar blue, the text yellow on it and black on the white
        // rest, and nothing in between.
        std::set<QRgb> colours;
        for (int y = 1; y < height - 1; ++y) {
          for (int x = 1; x < width - 1; ++x) colours.insert(shown.pixel(x, y) & 0xFFFFFFu);
        }
        EXPECT_EQ(colours, (std::set<QRgb>{0x0000FF, 0xFFFF00, 0xFFFFFF, 0x000000}));
      }
    }
  }
}

TEST(GaugeRenderTool, BadArgumentsGiveUsageAndStatusTwo) {
  const char* const bad[] = {
      "",
      "--kind gauge out.png",
      "--size 10 out.png",
      "--size 0x5 out.png",
      "--border double out.png",
      "--fore 12345 out.png",
      "--back GGGGGG out.png",
      "--min x out.png",
      "--progress 99999999999 out.png",
      "--min 5 --max 4 out.png",
      "--font-px 0 out.png",
      "--scale 0 out.png",
      "--scale 1.5x out.png",
      "--whatever 1 out.png",
      "--kind",
      "a.png b.png",
  };
  for (const char* args : bad) {
    EXPECT_EQ(RunTool(args), 2) << "args: " << args;
  }
}

}  // namespace
