// The banner and usage line printed when the utility is run without arguments.
#pragma once

void PrintUsage();
