#include "tool/summary.h"

#include <iostream>
#include <sstream>

std::string ComposeSummary(const TREE_TOTALS &Totals) {
  std::ostringstream Line(std::ios_base::out);
  // The facet is owned by the locale, which deletes it with its last copy.
  Line.imbue(std::locale(std::locale::classic(), new THOUSANDS_PUNCTUATION));
  Line << Totals.Files << "  file(s) deleted in " << Totals.Directories << " directories, skipping "
       << Totals.Junctions << " Junctions, using " << Totals.Bytes << " bytes." << std::endl;
  return Line.str();
}

void PrintSummary(const TREE_TOTALS &Totals) { std::cout << ComposeSummary(Totals); }
