#include "ErrorDisplay.h"

#include <windows.h>

#include "FormRules.h"
#include "Text.h"

namespace {

std::wstring ProgramFile() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace

std::wstring ApplicationTitle() {
  const std::wstring file = ProgramFile();
  const std::u16string title =
      ApplicationTitleWith(std::u16string(file.begin(), file.end()), [](std::u16string_view rest) {
        std::wstring text(rest.begin(), rest.end());
        if (!text.empty()) CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
        return std::u16string(text.begin(), text.end());
      });
  return {title.begin(), title.end()};
}

void ShowExceptionBox(const std::wstring& title, const std::string& message) {
  HWND active = GetActiveWindow();
  MessageBoxW(nullptr, Widen(WithFullStop(message)).c_str(), title.c_str(),
              MB_OK | MB_ICONSTOP | MB_TASKMODAL | MB_SETFOREGROUND);
  if (active != nullptr && IsWindow(active)) SetActiveWindow(active);
}
