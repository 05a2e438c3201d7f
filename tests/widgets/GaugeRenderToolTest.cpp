// The gauge-render program: arguments, exit status and the picture it writes.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <QImage>
#include <QTemporaryDir>
#include <cstdlib>
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
      "--whatever 1 out.png",
      "--kind",
      "a.png b.png",
  };
  for (const char* args : bad) {
    EXPECT_EQ(RunTool(args), 2) << "args: " << args;
  }
}

}  // namespace
