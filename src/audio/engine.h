// The engine's start-up and shut-down.
#pragma once

// Opens the sound device (full duplex), creates the codec states, sets up the
// video side and starts the receiving thread.
void initSystem();

// Tells the receiving thread to end, stops every worker and waits for all of
// them, then releases the video side, the device and the codec states. No
// engine thread outlives it. It may wait for up to a few seconds (a block in
// hand, a name lookup), so the front end calls it off the GUI thread.
void closeSystem();

// Starts only the receiving thread and admits work, on a device the caller
// has put into `handle` (tests, or a second engine life).
void startEngineThreads();
