// The utility's console output: fixed messages with at most one path in them,
// written to standard output in the order they are produced. Nothing here
// writes to standard error.
#pragma once

#include "platform/entry.h"

namespace platform {

// Sets the runtime's locale to the user's default, so that paths print in the
// console's own encoding.
void PrepareConsole();

// Prints Template, whose one "%s" stands for the path. With a Name, the path
// shown is Path, the separator and Name (for entries that did not fit the
// working path).
void PrintPathMessage(const char *Template, const PATH_CHAR *Path, const PATH_CHAR *Name = nullptr);

// Prints a fixed text without placeholders.
void PrintText(const char *Text);

}  // namespace platform
