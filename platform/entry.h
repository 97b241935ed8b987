// The program's entry point and its path character: wide on Windows (wmain,
// UTF-16 paths), narrow bytes on POSIX. This is the one place that names the
// platform outside the platform implementations.
#pragma once

#ifdef _WIN32
using PATH_CHAR = wchar_t;
#define PLATFORM_MAIN wmain
#else
using PATH_CHAR = char;
#define PLATFORM_MAIN main
#endif
