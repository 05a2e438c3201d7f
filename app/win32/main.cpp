// The Win32 entry point; start-up itself is TarnUpMain.

#include <windows.h>

#include "Startup.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
  return TarnUpMain(instance);
}
