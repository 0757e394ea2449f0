#pragma once
// The SVG plot of `sorn pitch --plot OUT.svg`: the voiced values of a
// contour as dots over time, on axes in seconds and hertz with ticks, grid
// lines and labels. Unvoiced values (0) are left out.
#include <string>

#include "tools/cli/PitchContour.h"

namespace sorn::cli {

// A whole SVG document (960 x 400 user units). title is drawn above the plot
// (escaped for XML); an empty title draws none.
std::string PitchPlotSvg(const PitchContour& contour, const std::string& title);

// One tick step of 1, 2 or 5 times a power of ten that divides span into
// about `ticks` parts (span > 0).
double NiceStep(double span, int ticks);

}  // namespace sorn::cli
