#include "serial/Win32Platform.h"

std::shared_ptr<ISerialPlatform> MakeWin32Platform() {
  return nullptr;
}
