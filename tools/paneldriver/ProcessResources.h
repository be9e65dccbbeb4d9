// What a process holds, counted from outside it, for the soak's figures.
#pragma once

#include <windows.h>

#include <string>

// "ok handles=N threads=N gdi=N user=N private_kb=N working_set_kb=N", or "err <why>". Where Wine
// leaves a count unimplemented it is taken from the tables the system keeps.
std::string ProcessResources(DWORD pid);
