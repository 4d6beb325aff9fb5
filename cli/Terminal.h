// The program's standard streams as the system gives them.
#pragma once

// Whether the program's standard error is a terminal that a person watches.
bool StandardErrorIsTerminal();

// A write to a closed pipe fails with an error the program reports, instead
// of ending the process without a word.
void ReportBrokenPipesAsErrors();
