#include "Terminal.h"

#include <csignal>
#include <unistd.h>

bool StandardErrorIsTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

void ReportBrokenPipesAsErrors()
{
    std::signal(SIGPIPE, SIG_IGN);
}
