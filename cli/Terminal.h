// The program's standard streams as the system gives them.
#pragma once

// Whether the program's standard error is a terminal that a person watches.
bool StandardErrorIsTerminal();

// A write to a closed pipe fails with an error the program reports, instead
// of ending the process without a word.
void ReportBrokenPipesAsErrors();

// Whether standard output is a terminal that takes the cursor movements and
// line clearing of ANSI escape sequences; switches them on where a console
// needs that.
bool StandardOutputTakesEscapes();

struct TerminalSize
{
    int columns = 80;
    int rows = 24;
};

// The size of the terminal on standard output; the common 80 by 24 when it
// cannot be told.
TerminalSize StandardOutputSize();
