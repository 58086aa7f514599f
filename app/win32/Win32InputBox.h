#pragma once
// The one-line input box: a small modal dialog built in memory (no dialog resource), with the
// prompt, an edit line holding the initial text, OK and Cancel. Its sizes are dialog units, so it
// scales with its font and the monitor.
#include <windows.h>

#include <optional>
#include <string>

// The text confirmed with OK (or Enter); nullopt when cancelled (Cancel, Escape, the close box, or
// a close of the owner).
std::optional<std::wstring> RunInputBox(HWND AOwner, const std::wstring& ATitle, const std::wstring& APrompt,
                                        const std::wstring& AText);
