#include "Terminal.h"

#include <io.h>
#include <stdio.h>

bool StandardErrorIsTerminal()
{
    return _isatty(_fileno(stderr)) != 0;
}

// Windows has no SIGPIPE: a write to a closed pipe already fails.
void ReportBrokenPipesAsErrors() {}
