// The summary line: its fixed wording and "." grouping whatever the locale.
#include <gtest/gtest.h>

#include <limits>
#include <locale>

#include "tool/summary.h"

namespace {

std::string Line(uint64_t Files, uint64_t Directories, uint64_t Junctions, uint64_t Bytes) {
  TREE_TOTALS Totals;
  Totals.Files = Files;
  Totals.Directories = Directories;
  Totals.Junctions = Junctions;
  Totals.Bytes = Bytes;
  return ComposeSummary(Totals);
}

// A global locale that groups differently, to show the line ignores it.
struct COMMA_PUNCTUATION : std::numpunct<char> {
  char do_thousands_sep() const override { return ','; }
  std::string do_grouping() const override { return "\2"; }
};

}  // namespace

TEST(Summary, ReadsAsTheFixedLine) {
  EXPECT_EQ(Line(1234, 56, 0, 7654321),
            "1.234  file(s) deleted in 56 directories, skipping 0 Junctions, using 7.654.321 bytes.\n");
  EXPECT_EQ(Line(1, 0, 0, 0), "1  file(s) deleted in 0 directories, skipping 0 Junctions, using 0 bytes.\n");
}

TEST(Summary, GroupsThousandsWithDots) {
  EXPECT_EQ(Line(999, 1000, 12345678, 4294967296),
            "999  file(s) deleted in 1.000 directories, skipping 12.345.678 Junctions, using 4.294.967.296 bytes.\n");
  const uint64_t Most = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(Line(Most, 100000, 10, Most),
            "18.446.744.073.709.551.615  file(s) deleted in 100.000 directories, skipping 10 Junctions, using "
            "18.446.744.073.709.551.615 bytes.\n");
}

TEST(Summary, IgnoresTheGlobalLocale) {
  const std::locale Previous = std::locale::global(std::locale(std::locale::classic(), new COMMA_PUNCTUATION));
  const std::string Composed = Line(123456, 0, 0, 1000);
  std::locale::global(Previous);
  EXPECT_EQ(Composed, "123.456  file(s) deleted in 0 directories, skipping 0 Junctions, using 1.000 bytes.\n");
}
