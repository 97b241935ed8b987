// The banner and usage line printed when KRAX is run without arguments.
#pragma once

void PrintUsage();
