#include "tool/usage.h"

#include "platform/console.h"

namespace {

constexpr char BannerLine[] = "Fast recursive directory tree delete utility.\n";
constexpr char UsageLine[] = "Parameter error. Usage: KRAX [drive:][path\\]directory. Version " KRAX_VERSION_TEXT "\n";

}  // namespace

void PrintUsage() {
  platform::PrintText(BannerLine);
  platform::PrintText(UsageLine);
}
