// What the Windows halves of the layer take from the system's headers.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0601
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0601   // CancelSynchronousIo, condition variables
#endif
#include <windows.h>

#include "platform/files.h"

inline HANDLE handleOf(osFile file)
{
    return reinterpret_cast<HANDLE>(file);
}

// GetLastError after a failed call; never 0, since 0 means success to the callers.
inline int lastError()
{
    DWORD error = GetLastError();
    return error != 0 ? int(error) : int(ERROR_GEN_FAILURE);
}

// The identity of the file behind an open handle (filesWindows.cpp).
bool systemIdentifyHandle(void* handle, osFileIdentity* identity);
