// The system's lists of serial ports: the Ports-class devices of SetupAPI
// with their friendly names, and the registry's map of serial devices to COM
// names. Both are read anew on every call, so an adapter plugged in later is
// listed.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// clang-format off
#include <setupapi.h>
#include <devguid.h>
// clang-format on

#include <algorithm>
#include <string>
#include <vector>

#include "serial/WindowsPortList.h"

namespace {

std::string Utf8(const wchar_t* text, std::size_t length) {
  if (length == 0) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
  if (size <= 0) return {};
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), size, nullptr,
                        nullptr);
  return out;
}

// A string value as read from the registry: up to its first null character
// (the stored data need not end with one).
std::string Utf8Value(const std::vector<wchar_t>& data, DWORD bytes) {
  std::size_t length = std::min<std::size_t>(bytes / sizeof(wchar_t), data.size());
  for (std::size_t i = 0; i < length; ++i) {
    if (data[i] == L'\0') {
      length = i;
      break;
    }
  }
  return Utf8(data.data(), length);
}

class SystemPortSources final : public IWindowsPortSources {
 public:
  std::vector<PortDeviceEntry> PortsClassDevices() override {
    std::vector<PortDeviceEntry> entries;
    const HDEVINFO set =
        ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return entries;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set, index, &info); ++index) {
      PortDeviceEntry entry;
      std::vector<wchar_t> buffer(512);
      DWORD type = 0;
      DWORD bytes = 0;
      if (::SetupDiGetDeviceRegistryPropertyW(
              set, &info, SPDRP_FRIENDLYNAME, &type, reinterpret_cast<BYTE*>(buffer.data()),
              static_cast<DWORD>(buffer.size() * sizeof(wchar_t)), &bytes) &&
          type == REG_SZ) {
        entry.friendlyName = Utf8Value(buffer, bytes);
      }
      const HKEY key = ::SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
      if (key != INVALID_HANDLE_VALUE) {
        bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
        if (::RegQueryValueExW(key, L"PortName", nullptr, &type,
                               reinterpret_cast<BYTE*>(buffer.data()), &bytes) == ERROR_SUCCESS &&
            type == REG_SZ) {
          entry.portName = Utf8Value(buffer, bytes);
        }
        ::RegCloseKey(key);
      }
      if (!entry.portName.empty()) entries.push_back(std::move(entry));
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return entries;
  }

  std::vector<SerialCommEntry> SerialCommMap() override {
    std::vector<SerialCommEntry> entries;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                        &key) != ERROR_SUCCESS) {
      return entries;
    }
    for (DWORD index = 0;; ++index) {
      std::vector<wchar_t> name(256);
      std::vector<wchar_t> data(256);
      DWORD nameLength = static_cast<DWORD>(name.size());
      DWORD bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
      DWORD type = 0;
      const LSTATUS status = ::RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type,
                                             reinterpret_cast<BYTE*>(data.data()), &bytes);
      if (status == ERROR_NO_MORE_ITEMS) break;
      if (status != ERROR_SUCCESS || type != REG_SZ) continue;
      entries.push_back({Utf8(name.data(), nameLength), Utf8Value(data, bytes)});
    }
    ::RegCloseKey(key);
    return entries;
  }
};

}  // namespace

std::unique_ptr<IWindowsPortSources> MakeSystemPortSources() {
  return std::make_unique<SystemPortSources>();
}
