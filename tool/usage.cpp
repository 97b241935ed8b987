#include "tool/usage.h"

#include <cstdio>

void PrintUsage() {
  std::fputs("Fast recursive directory tree delete utility.\n", stdout);
  std::fputs("Parameter error. Usage: KRAX [drive:][path\\]directory. Version 5.2\n", stdout);
}
