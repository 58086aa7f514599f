#include "platform/Console.h"

#include <signal.h>
#include <unistd.h>

void PrepareConsole() {
    // A closed stdout must not end the program in the middle of a flash; the failed write is
    // reported at the end instead.
    signal(SIGPIPE, SIG_IGN);
}

bool IsTerminal(std::FILE* AStream) {
    return isatty(fileno(AStream)) != 0;
}
