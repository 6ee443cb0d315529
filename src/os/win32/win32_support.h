// The only includer of <windows.h>: a lean, macro-tamed Win32 API for the
// Windows body of the OS layer. Win32 only.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0501  // Windows XP: SetFileValidData may exist
#endif

#include <windows.h>
// After <windows.h>, which it needs.
#include <aclapi.h>
