// The one summary line of a run. Its numbers are grouped by thousands with
// "." whatever locale the machine has, through a numeric punctuation facet of
// our own rather than a named locale that many platforms lack.
#pragma once

#include <locale>
#include <string>

#include "tool/tree_totals.h"

// '.' between groups of three digits, counted from the right.
struct THOUSANDS_PUNCTUATION : std::numpunct<char> {
  using std::numpunct<char>::numpunct;

protected:
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

// The line, line feed included.
std::string ComposeSummary(const TREE_TOTALS &Totals);

// Writes the line to standard output in one piece.
void PrintSummary(const TREE_TOTALS &Totals);
