#pragma once

#include <functional>

// SIGINT and SIGTERM end the application's event loop the ordinary way (QCoreApplication::quit),
// so that what a program does on its way out still happens. `onSignal`, when given, runs in the
// application's thread first, with the signal number. Call it once, after the application object
// exists: a stop that comes before the event loop runs waits for it.
void quitOnTerminateSignals(std::function<void(int)> onSignal = {});

// The first stop signal received, 0 while none came: for work that cannot wait for the event loop
// to hear of it (a read from a pipe that may never end).
int pendingTerminateSignal();

// The same without the quit: `onSignal` decides how the program stops (a console command lets the
// exchange in flight finish first, and then ends by itself). A second signal still ends the
// program at once.
void onTerminateSignals(std::function<void(int)> onSignal);
