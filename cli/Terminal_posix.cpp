#include "Terminal.h"

#include <csignal>
#include <sys/ioctl.h>
#include <unistd.h>

bool StandardErrorIsTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

void ReportBrokenPipesAsErrors()
{
    std::signal(SIGPIPE, SIG_IGN);
}

bool StandardOutputTakesEscapes()
{
    return isatty(STDOUT_FILENO) == 1;
}

TerminalSize StandardOutputSize()
{
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0)
        return {};
    return {size.ws_col, size.ws_row};
}
