// The command line the system starts a screen saver with. Platform-free, so
// that the host builds test it under the sanitizers too.
#pragma once
#include <cstdint>

enum class SaverMode { Run, Preview, Settings };

// What the system asked for. window is the HWND given after the switch, 0 if
// none was given or it was not a plain decimal number that fits a handle.
struct SaverCommand {
    SaverMode mode;
    uintptr_t window;
};

// Reads the command line (without the program's name): /s, /p HWND, /c or
// /c:HWND, switches in either case, with / or -, the HWND after spaces or a
// colon. Anything else asks for the settings. Reads nothing past the
// terminating zero.
SaverCommand ParseSaverCommandLine(const char* commandLine);
