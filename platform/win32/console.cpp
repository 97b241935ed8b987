#include "platform/console.h"

#include <clocale>
#include <cstddef>
#include <cwchar>

namespace platform {

namespace {

// Room for the longest fixed text this program prints.
constexpr size_t FormatCapacity = 160;

// Widens an ASCII template into a wprintf format, turning its "%s" into the
// path conversions: "%ls" (the same on every C runtime) or "%ls\%ls".
// Returns false when the template does not fit.
bool WidenTemplate(const char *Template, bool WithName, wchar_t (&Format)[FormatCapacity]) {
  const wchar_t *const PathConversion = WithName ? L"%ls\\%ls" : L"%ls";
  size_t Out = 0;
  for (const char *In = Template; *In != '\0'; ++In) {
    if (In[0] == '%' && In[1] == 's') {
      for (const wchar_t *Piece = PathConversion; *Piece != L'\0'; ++Piece) {
        if (Out + 1 >= FormatCapacity)
          return false;
        Format[Out++] = *Piece;
      }
      ++In;
      continue;
    }
    if (Out + 1 >= FormatCapacity)
      return false;
    Format[Out++] = static_cast<wchar_t>(static_cast<unsigned char>(*In));
  }
  Format[Out] = L'\0';
  return true;
}

}  // namespace

void PrepareConsole() { setlocale(LC_ALL, ""); }

void PrintPathMessage(const char *Template, const wchar_t *Path, const wchar_t *Name) {
  wchar_t Format[FormatCapacity];
  if (!WidenTemplate(Template, Name != nullptr, Format))
    return;
  if (Name != nullptr)
    wprintf(Format, Path, Name);
  else
    wprintf(Format, Path);
}

void PrintText(const char *Text) {
  wchar_t Format[FormatCapacity];
  // The text has no conversions of its own; print it as an argument all the same.
  if (WidenTemplate(Text, false, Format))
    wprintf(L"%ls", Format);
}

}  // namespace platform
