// Start-up timing of the panel, seen from a second process: when its window first exists, when it
// is shown, when its thread first answers a message, and the longest wait for an answer.
#pragma once

#include <windows.h>

#include <string>

// Seconds on the performance counter. Under Wine it is the Linux monotonic clock, so a Linux
// process can put these times beside its own.
double Now();

std::string Seconds(double t);

// "ok <watching> <window exists> <shown> <first answer> <longest wait> <its start>", times in
// seconds on the performance counter (Now), or "err <why>". Messages are sent to the window every
// 20 ms until holdMs after it appeared; progress goes to standard error as it happens.
std::string WatchStartUp(const wchar_t* caption, int timeoutMs, int holdMs, HWND* found);
