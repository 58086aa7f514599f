#include "platform/Console.h"

#include <windows.h>

#include <io.h>

void PrepareConsole() {
    // The program's text is UTF-8; the console shows it as such whatever its own code page.
    SetConsoleOutputCP(CP_UTF8);
    SetConsoleCP(CP_UTF8);
}

bool IsTerminal(std::FILE* AStream) {
    // Only a console has a console mode; a pipe, a file or NUL has none.
    const intptr_t handle = _get_osfhandle(_fileno(AStream));
    DWORD mode = 0;
    return handle != -1 && GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode) != 0;
}
