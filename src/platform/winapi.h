// The single include point for Win32 names in system code.
//
// On Windows the real headers are used and the real functions called directly. On POSIX the
// same names come from our own implementation of the narrow subset the system calls; a name
// outside that subset does not compile.
#pragma once

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  include <winsock.h>
#  include <windows.h>
#else
#  include "platform/posix/win32.h"
#endif
