// gauge-render: draws one progress gauge into a PNG file.
//
//   gauge-render --kind text|bar|vbar|pie|needle --size WxH --border single|none
//                --fore RRGGBB --back RRGGBB --color RRGGBB --min N --max N
//                --progress N [--no-text] [--font-px N] [--scale S] [--bench N] OUT.png
//
// --scale S draws the gauge as a screen scaled by S shows it (the program
// runs with QT_SCALE_FACTOR=S and the widget paints onto a device of that
// pixel ratio): the picture is in device pixels, the size times S, rounded.
// --bench N composes the picture N more times and prints the mean wall and
// processor time of one composition (all bitmaps, the kind and the text overlay).
//
// Colours are written the usual way (red first). Runs with the offscreen
// platform when no display is set.

#include <QApplication>
#include <QImage>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "widgets/TGauge.h"

namespace {

constexpr int kUsageExit = 2;

void PrintUsage() {
  std::fputs(
      "usage: gauge-render --kind text|bar|vbar|pie|needle --size WxH --border single|none\n"
      "                    --fore RRGGBB --back RRGGBB --color RRGGBB --min N --max N\n"
      "                    --progress N [--no-text] [--font-px N] [--scale S] [--bench N]\n"
      "                    OUT.png\n",
      stderr);
}

std::optional<std::int64_t> ParseInt(std::string_view s) {
  std::int64_t v = 0;
  const char* end = s.data() + s.size();
  auto [ptr, ec] = std::from_chars(s.data(), end, v);
  if (ec != std::errc() || ptr != end || s.empty()) {
    return std::nullopt;
  }
  return v;
}

std::optional<std::int32_t> ParseInt32(std::string_view s) {
  auto v = ParseInt(s);
  if (!v || *v < INT32_MIN || *v > INT32_MAX) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(*v);
}

// RRGGBB -> colour value (red in the low byte).
std::optional<TColor> ParseColor(std::string_view s) {
  if (s.size() != 6) {
    return std::nullopt;
  }
  std::uint32_t rgb = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), rgb, 16);
  if (ec != std::errc() || ptr != s.data() + s.size()) {
    return std::nullopt;
  }
  return ((rgb >> 16) & 0xFFu) | (rgb & 0xFF00u) | ((rgb & 0xFFu) << 16);
}

std::optional<TGaugeKind> ParseKind(std::string_view s) {
  if (s == "text") return gkText;
  if (s == "bar") return gkHorizontalBar;
  if (s == "vbar") return gkVerticalBar;
  if (s == "pie") return gkPie;
  if (s == "needle") return gkNeedle;
  return std::nullopt;
}

struct Options {
  TGaugeKind kind = gkHorizontalBar;
  int width = 100;
  int height = 100;
  TBorderStyle border = bsSingle;
  TColor fore = clBlack;
  TColor back = clWhite;
  TColor color = clSilver;
  std::int32_t min = 0;
  std::int32_t max = 100;
  std::int32_t progress = 0;
  bool showText = true;
  int fontPx = 0;     // 0: the application font
  std::string scale;  // empty: the gauge's own pixels, no screen scaling
  int bench = 0;      // extra compositions to time
  std::string out;
};

bool ParseSize(std::string_view s, int& w, int& h) {
  const auto x = s.find('x');
  if (x == std::string_view::npos) {
    return false;
  }
  auto pw = ParseInt(s.substr(0, x));
  auto ph = ParseInt(s.substr(x + 1));
  if (!pw || !ph || *pw < 1 || *ph < 1 || *pw > 10000 || *ph > 10000) {
    return false;
  }
  w = static_cast<int>(*pw);
  h = static_cast<int>(*ph);
  return true;
}

// Returns an error text, or empty on success.
std::string Parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--no-text") {
      o.showText = false;
      continue;
    }
    if (arg.size() > 2 && arg.substr(0, 2) == "--") {
      if (i + 1 >= argc) {
        return "missing value for " + std::string(arg);
      }
      const std::string_view val = argv[++i];
      bool ok = true;
      if (arg == "--kind") {
        auto k = ParseKind(val);
        ok = k.has_value();
        if (ok) o.kind = *k;
      } else if (arg == "--size") {
        ok = ParseSize(val, o.width, o.height);
      } else if (arg == "--border") {
        ok = val == "single" || val == "none";
        o.border = val == "none" ? bsNone : bsSingle;
      } else if (arg == "--fore" || arg == "--back" || arg == "--color") {
        auto c = ParseColor(val);
        ok = c.has_value();
        if (ok) (arg == "--fore" ? o.fore : arg == "--back" ? o.back : o.color) = *c;
      } else if (arg == "--min" || arg == "--max" || arg == "--progress") {
        auto v = ParseInt32(val);
        ok = v.has_value();
        if (ok) (arg == "--min" ? o.min : arg == "--max" ? o.max : o.progress) = *v;
      } else if (arg == "--bench") {
        auto v = ParseInt(val);
        ok = v.has_value() && *v >= 1 && *v <= 1000000;
        if (ok) o.bench = static_cast<int>(*v);
      } else if (arg == "--scale") {
        double v = 0;
        const auto [ptr, ec] = std::from_chars(val.data(), val.data() + val.size(), v);
        ok = ec == std::errc() && ptr == val.data() + val.size() && v >= 0.5 && v <= 8;
        if (ok) o.scale = std::string(val);
      } else if (arg == "--font-px") {
        auto v = ParseInt(val);
        ok = v.has_value() && *v >= 1 && *v <= 1000;
        if (ok) o.fontPx = static_cast<int>(*v);
      } else {
        return "unknown option " + std::string(arg);
      }
      if (!ok) {
        return "bad value for " + std::string(arg) + ": " + std::string(val);
      }
      continue;
    }
    if (!o.out.empty()) {
      return "more than one output file";
    }
    o.out = std::string(arg);
  }
  if (o.out.empty()) {
    return "no output file";
  }
  if (o.min > o.max) {
    return "--min must not be above --max";
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const std::string error = Parse(argc, argv, o);
  if (!error.empty()) {
    std::fprintf(stderr, "gauge-render: %s\n", error.c_str());
    PrintUsage();
    return kUsageExit;
  }
  if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr &&
      std::getenv("QT_QPA_PLATFORM") == nullptr) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
  if (!o.scale.empty()) {
    setenv("QT_SCALE_FACTOR", o.scale.c_str(), 1);
  }
  QApplication app(argc, argv);

  TGauge gauge;
  gauge.resize(o.width, o.height);
  gauge.SetKind(o.kind);
  gauge.SetBorderStyle(o.border);
  gauge.SetShowText(o.showText);
  gauge.SetForeColor(o.fore);
  gauge.SetBackColor(o.back);
  gauge.SetColor(o.color);
  // Widen first, so that neither assignment crosses the other end.
  gauge.SetMaxValue(INT32_MAX);
  gauge.SetMinValue(o.min);
  gauge.SetMaxValue(o.max);
  gauge.SetProgress(o.progress);
  if (o.fontPx > 0) {
    QFont font = gauge.font();
    font.setPixelSize(o.fontPx);
    gauge.setFont(font);
  }

  // What the screen shows: the widget's own painting onto a device of the
  // screen's pixel ratio.
  const QImage image = o.scale.empty() ? gauge.RenderImage() : gauge.grab().toImage();
  if (o.bench > 0) {
    const auto start = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();
    qint64 checksum = 0;
    for (int i = 0; i < o.bench; ++i) {
      checksum += gauge.RenderImage().pixel(0, 0) & 1u;
    }
    const std::chrono::duration<double, std::micro> spent =
        std::chrono::steady_clock::now() - start;
    // Processor time too: on a busy machine the wall time is mostly waiting.
    const double cpu = 1e6 * static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    std::printf("compose %dx%d: %.1f us per picture, %.1f us processor time, over %d runs (%lld)\n",
                o.width, o.height, spent.count() / o.bench, cpu / o.bench, o.bench,
                static_cast<long long>(checksum));
  }
  if (!image.save(QString::fromStdString(o.out), "PNG")) {
    std::fprintf(stderr, "gauge-render: cannot write %s\n", o.out.c_str());
    return 1;
  }
  return 0;
}
