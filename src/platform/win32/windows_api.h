// The Windows headers as the platform's Windows side includes them: lean, without the min/max
// macros, and without the text-variant macros that would rename the platform's own functions
// (CreateMutex would become CreateMutexA).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef CreateMutex
