#include "platform/entry.h"
#include "tool/usage.h"

int PLATFORM_MAIN(int ArgumentCount, PATH_CHAR **) {
  if (ArgumentCount <= 1)
    PrintUsage();
  return 0;
}
