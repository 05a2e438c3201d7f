#pragma once
// Program start-up: everything but the entry point, so that the tests can
// link it.

#include <windows.h>

// Creates the update window on `instance` with its form,
// runs FormCreate, shows it centred, runs the message loop until the window
// is closed and destroys it. Returns the process's exit code.
int TarnUpMain(HINSTANCE instance);
