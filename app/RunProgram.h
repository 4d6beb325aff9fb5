// The program's life: the main window is created first and finds the module
// while it is built, so that it is first shown already saying whether and
// where a module is; then the event loop runs until the window is closed or a
// termination signal (SIGTERM, SIGINT, SIGHUP) arrives. Either way the window,
// and with it the serial port, is closed first; after a signal the process
// then ends by that signal instead of returning.
#pragma once

#include <functional>

class TMainForm;

// Runs the program on an application object that already exists and returns
// its exit status: 1 when start-up failed (the error has been shown), else
// the event loop's. `shown`, when given, is called once the main window has
// been shown, from inside the event loop.
int RunProgram(const std::function<void(TMainForm&)>& shown = {});
