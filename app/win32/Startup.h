#pragma once
// Program start-up, apart from the entry point so that the entry point's
// file (which needs <windows.h>) does not meet the serial component's.

// Creates the update window on `instance` (the HINSTANCE) with its form,
// runs FormCreate, shows it centred, runs the message loop until the window
// is closed and destroys it. Returns the process's exit code.
int TarnUpMain(void* instance);
