// The one door from the engine to the user interface.
//
// The core never includes a toolkit header. Everything it must show, and the
// little it needs from the main loop (timers and socket watches), goes through
// this table, which the front end fills at start-up. The GTK front end hands
// each display call to the GUI thread, so those entries may be called from any
// thread; the main-loop entries are called on the GUI thread only. Tests fill
// the table with a recorder.
#pragma once

#include <string>
#include <vector>

struct KvEngineStatus;

// A main-loop callback: return nonzero to be called again.
using KvSourceFn = int (*)(void *data);

struct KvUiOps {
    // A non-modal message dialog; returns at once.
    void (*messageBox)(const char *title, const char *text);
    // Install the 100 ms refresh timer (the bar itself shows on first change).
    void (*showProgressBar)();
    // Remove the refresh timer and hide the bar.
    void (*hideProgressBar)();
    // A decoded picture waits in the RGB buffer (blVideoDisBusy is set).
    void (*videoFrameReady)();
    // A list of users or buddies arrived: one "name address" line per entry.
    void (*listReceived)(const char *title, const std::vector<std::string> &entries);
    // A chat line "name: text\n" arrived from the directory server.
    void (*chatLineReceived)(const char *line);
    // What the engine is doing changed (a call, a file, the directory link).
    void (*statusChanged)(const KvEngineStatus &status);

    // Main loop: call fn(data) on the GUI thread after ms milliseconds and
    // then every ms while it returns nonzero; returns an id, never 0.
    // Callable from any thread.
    unsigned (*addTimer)(unsigned ms, KvSourceFn fn, void *data);
    // Removes a timer or a watch; GUI thread only.
    void (*removeSource)(unsigned id);
    // Calls fn(data) on the GUI thread whenever fd is readable or closed;
    // GUI thread only.
    unsigned (*addSocketWatch)(int fd, KvSourceFn fn, void *data);
};

// Registers the table (copied). Entries left null are ignored.
void kvSetUiOps(const KvUiOps &ops);
const KvUiOps &kvUiOps();

// The program's message box, reached from any thread.
void messageBox(const char *title, const char *text);

// Runs fn(data) once on the GUI thread; without a main loop (tests), at once
// on the calling thread.
void kvRunOnGui(void (*fn)(void *), void *data);

// Tells the front end the engine's status changed, as source (registered by
// the command layer) reports it.
void kvSetStatusSource(KvEngineStatus (*source)());
void kvNotifyStatus();
