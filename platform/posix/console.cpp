#include "platform/console.h"

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace platform {

void PrepareConsole() {
  setlocale(LC_ALL, "");
  // Output errors are not examined: a reader of the messages that goes away
  // must not end the deletion half-way, as the default SIGPIPE would.
  signal(SIGPIPE, SIG_IGN);
}

void PrintPathMessage(const char *Template, const char *Path, const char *Name) {
  // Paths are printed as the bytes they are; the template is split at its
  // one "%s" so that it is never itself used as a format.
  const char *Placeholder = std::strstr(Template, "%s");
  if (Placeholder == nullptr) {
    std::fputs(Template, stdout);
    return;
  }
  const int HeadLength = static_cast<int>(Placeholder - Template);
  if (Name != nullptr)
    std::printf("%.*s%s/%s%s", HeadLength, Template, Path, Name, Placeholder + 2);
  else
    std::printf("%.*s%s%s", HeadLength, Template, Path, Placeholder + 2);
}

void PrintText(const char *Text) { std::fputs(Text, stdout); }

}  // namespace platform
