// tarnup.exe as Windows reads it: the manifest through the system's
// activation contexts, the version resource through the version interface,
// the icon through the icon interface, each size as the shell asks for it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cwctype>
#include <string>
#include <vector>

namespace {

std::wstring Wide(const char* text) {
  return std::wstring(text, text + std::char_traits<char>::length(text));
}

const std::wstring kExe = Wide(TARNUP_EXE);

// An activation context made from the program's manifest resource.
class Manifest {
 public:
  Manifest() {
    ACTCTXW act{};
    act.cbSize = sizeof act;
    act.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    act.lpSource = kExe.c_str();
    act.lpResourceName = MAKEINTRESOURCEW(1);  // CREATEPROCESS_MANIFEST_RESOURCE_ID
    context_ = CreateActCtxW(&act);
  }
  ~Manifest() {
    if (Valid()) ReleaseActCtx(context_);
  }
  Manifest(const Manifest&) = delete;
  Manifest& operator=(const Manifest&) = delete;

  bool Valid() const { return context_ != INVALID_HANDLE_VALUE; }
  HANDLE Handle() const { return context_; }

  // A windowsSettings value, or "" when the manifest has none.
  std::wstring Setting(const wchar_t* ns, const wchar_t* name) const {
    wchar_t value[128] = {};
    SIZE_T written = 0;
    if (!QueryActCtxSettingsW(0, context_, ns, name, value, 128, &written)) return L"";
    return value;
  }

 private:
  HANDLE context_ = INVALID_HANDLE_VALUE;
};

TEST(ProgramFile, ManifestIsAcceptedAndAsksForControlsSixAndPerMonitorDpi) {
  Manifest manifest;
  ASSERT_TRUE(manifest.Valid()) << "CreateActCtx refused the manifest, error " << GetLastError();
  EXPECT_EQ(
      manifest.Setting(L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness"),
      L"PerMonitorV2, PerMonitor");
  EXPECT_EQ(manifest.Setting(L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware"),
            L"true/pm");

  // Inside the context comctl32 is the one of the Common Controls 6
  // assembly, from the side-by-side store.
  ULONG_PTR cookie = 0;
  ASSERT_TRUE(ActivateActCtx(manifest.Handle(), &cookie));
  HMODULE controls = LoadLibraryW(L"comctl32.dll");
  DeactivateActCtx(0, cookie);
  ASSERT_NE(controls, nullptr);
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(controls, path, MAX_PATH);
  std::wstring file(path);
  for (wchar_t& c : file) c = towlower(c);
  EXPECT_NE(file.find(L"common-controls_6595b64144ccf1df_6."), std::wstring::npos)
      << std::string(file.begin(), file.end());
  FreeLibrary(controls);
}

TEST(ProgramFile, VersionResourceCarriesTheBuildsVersion) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(kExe.c_str(), &ignored);
  ASSERT_GT(size, 0u) << "no version resource, error " << GetLastError();
  std::vector<std::uint8_t> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(kExe.c_str(), 0, size, block.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  const std::wstring version = Wide(TARNUP_VERSION);
  const DWORD major = static_cast<DWORD>(std::stoul(version));
  const DWORD minor = static_cast<DWORD>(std::stoul(version.substr(version.find(L'.') + 1)));
  EXPECT_EQ(fixed->dwFileVersionMS, (major << 16) | minor);
  EXPECT_EQ(fixed->dwProductVersionMS, (major << 16) | minor);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

  struct Expected {
    const wchar_t* name;
    std::wstring value;
  };
  const Expected strings[] = {{L"FileDescription", L"TARN Update"},
                              {L"ProductName", L"TarnUp"},
                              {L"FileVersion", version},
                              {L"ProductVersion", version},
                              {L"OriginalFilename", L"tarnup.exe"}};
  for (const Expected& s : strings) {
    wchar_t* text = nullptr;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + s.name;
    ASSERT_TRUE(
        VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&text), &length))
        << "no " << std::string(s.name, s.name + wcslen(s.name));
    EXPECT_EQ(std::wstring(text), s.value);
  }
}

// How many pixels of an icon drawn on white are of its two main colours.
struct IconColours {
  int blue = 0;    // the chip: dark to full blue
  int yellow = 0;  // the arrow
  int other = 0;   // anything else but white
};

IconColours Draw(HICON icon, int size) {
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = size;
  info.bmiHeader.biHeight = -size;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  HGDIOBJ old = SelectObject(dc, dib);
  PatBlt(dc, 0, 0, size, size, WHITENESS);
  DrawIconEx(dc, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL);
  GdiFlush();
  IconColours colours;
  const auto* p = static_cast<const std::uint32_t*>(bits);
  for (int i = 0; i < size * size; ++i) {
    const unsigned r = (p[i] >> 16) & 0xFFu;  // 0xRRGGBB in a DIB
    const unsigned g = (p[i] >> 8) & 0xFFu;
    const unsigned b = p[i] & 0xFFu;
    if (r < 64 && g < 64 && b >= 96) {
      ++colours.blue;
    } else if (r >= 192 && g >= 192 && b < 96) {
      ++colours.yellow;
    } else if ((p[i] & 0xFFFFFFu) != 0xFFFFFFu) {
      ++colours.other;
    }
  }
  SelectObject(dc, old);
  DeleteObject(dib);
  DeleteDC(dc);
  return colours;
}

TEST(ProgramFile, IconHasItsPictureAtSixteenThirtyTwoFortyEightAndTwoFiftySix) {
  HMODULE exe = LoadLibraryExW(kExe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(exe, nullptr) << "error " << GetLastError();
  HRSRC group = FindResourceW(exe, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
  ASSERT_NE(group, nullptr);
  auto* directory = static_cast<BYTE*>(LockResource(LoadResource(exe, group)));
  ASSERT_NE(directory, nullptr);
  const WORD count = *reinterpret_cast<const WORD*>(directory + 4);
  EXPECT_EQ(count, 4);
  for (int size : {16, 32, 48, 256}) {
    SCOPED_TRACE(size);
    // The image the system picks for this size must be of exactly this size.
    const int id = LookupIconIdFromDirectoryEx(directory, TRUE, size, size, LR_DEFAULTCOLOR);
    HRSRC image = FindResourceW(exe, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(3));  // RT_ICON
    ASSERT_NE(image, nullptr);
    auto* bytes = static_cast<BYTE*>(LockResource(LoadResource(exe, image)));
    HICON icon = CreateIconFromResourceEx(bytes, SizeofResource(exe, image), TRUE, 0x00030000, size,
                                          size, LR_DEFAULTCOLOR);
    ASSERT_NE(icon, nullptr);
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP bitmap{};
    GetObjectW(info.hbmColor != nullptr ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
    EXPECT_EQ(bitmap.bmWidth, size);
    if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    // The chip and its arrow: a blue body and a yellow arrow, the corners
    // transparent (white here).
    const IconColours colours = Draw(icon, size);
    EXPECT_GT(colours.blue, size * size / 4);
    EXPECT_GT(colours.yellow, size * size / 40);
    DestroyIcon(icon);
  }
  FreeLibrary(exe);
}

}  // namespace
