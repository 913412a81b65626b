// Small helpers shared by every part of the program.
#pragma once

// Sleep for ms milliseconds: 0 at once for 0, otherwise 0 when the full time
// passed and -1 when the wait was cut short or failed.
int msleep(unsigned long ms);

// Both write text to standard error and return; neither ends the process.
void error(const char *text);
void ShowFatalError(const char *text);

// Raised when the engine begins to shut down: blocking work in progress
// (a directory connect) gives up instead of holding the shut-down.
bool kvShuttingDown();
void kvSetShuttingDown(bool on);
