#include "platform/entry.h"
#include "tool/driver.h"

int PLATFORM_MAIN(int ArgumentCount, PATH_CHAR **Arguments) { return RunDriver(ArgumentCount, Arguments); }
