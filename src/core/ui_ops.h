// The one door from the engine to the user interface.
//
// The core never includes a toolkit header. Everything it must show goes
// through this table, which the front end fills at start-up. The GTK front end
// hands each call to the GUI thread, so every entry may be called from any
// thread. Tests fill it with a recorder.
#pragma once

struct UserListReply;

struct KvUiOps {
    // A non-modal message dialog; returns at once.
    void (*messageBox)(const char *title, const char *text);
    // Install the 100 ms refresh timer (the bar itself shows on first change).
    void (*showProgressBar)();
    // Remove the refresh timer and hide the bar.
    void (*hideProgressBar)();
    // A decoded picture waits in the RGB buffer (blVideoDisBusy is set).
    void (*videoFrameReady)();
    // A list of users or buddies arrived from the directory server.
    void (*listReceived)(const char *title, const UserListReply *list);
    // A chat line "name: text\n" arrived from the directory server.
    void (*chatLineReceived)(const char *line);
};

// Registers the table (copied). Entries left null are ignored.
void kvSetUiOps(const KvUiOps &ops);
const KvUiOps &kvUiOps();

// The program's message box, reached from any thread.
void messageBox(const char *title, const char *text);
