// File progress shared between the file threads and the GUI's refresh timer.
#pragma once

#include <atomic>

extern std::atomic<int> progBarCount; // 0 to 99, set by a file thread

// Stores n mod 100 (remainder with the sign of n). Touches no widget.
void moveProgressBar(int n);

// Hand the refresh timer's installation and removal to the GUI thread.
void showProgressBar();
void hideProgressBar();
