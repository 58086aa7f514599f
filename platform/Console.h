#pragma once
// The standard streams of a console program.
#include <cstdio>

// Run first in main(): text goes out as UTF-8 whatever the console's code page (Windows), and a
// closed pipe on stdout makes a write fail instead of ending the program (Linux).
void PrepareConsole();

// True when AStream is a terminal (a console window on Windows), where progress is drawn in place.
bool IsTerminal(std::FILE* AStream);
