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

#include <string>

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

// Names and texts are UTF-8 inside the program and UTF-16 for the system's ...W calls. A
// Windows name may hold a lone surrogate; it travels as its three-byte form, so that every
// name the system gives comes back to it unchanged. (filesWindows.cpp)
bool utf8ToWide(const char* text, std::size_t bytes, std::wstring* wide);
std::string wideToUtf8(const wchar_t* text, std::size_t length);

// A file name for the ...W calls: 0, or ERROR_NO_UNICODE_TRANSLATION for bytes that are no
// UTF-8. A name the system takes as it stands (\\?\...) gets none of the system's tidying,
// so the "folder\." the callers ask of a folder becomes "folder\" there.
int wideName(const char* name, std::wstring* wide);
