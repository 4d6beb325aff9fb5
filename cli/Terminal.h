// Whether the program's standard error is a terminal that a person watches.
#pragma once

bool StandardErrorIsTerminal();
