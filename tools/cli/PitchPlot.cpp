#include "tools/cli/PitchPlot.h"

#include <algorithm>
#include <cmath>

#include "tools/cli/TextBuffer.h"

namespace sorn::cli {

namespace {

constexpr double kWidth = 960, kHeight = 400;
constexpr double kLeft = 72, kRight = 24, kTop = 44, kBottom = 56;
constexpr double kPlotW = kWidth - kLeft - kRight, kPlotH = kHeight - kTop - kBottom;

// Decimals that show a tick step exactly (0.25 -> 2, 5 -> 0).
int DecimalsOf(double step) {
    int decimals = 0;
    while (decimals < 6 && std::fabs(step * std::pow(10.0, decimals) - std::round(step * std::pow(10.0, decimals))) > 1e-6)
        ++decimals;
    return decimals;
}

}  // namespace

double NiceStep(double span, int ticks) {
    const double raw = span / std::max(1, ticks);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    const double fraction = raw / power;
    const double nice = fraction <= 1.0 ? 1.0 : fraction <= 2.0 ? 2.0 : fraction <= 5.0 ? 5.0 : 10.0;
    return nice * power;
}

std::string PitchPlotSvg(const PitchContour& contour, const std::string& title) {
    const std::size_t n = contour.pitch.size();
    int low = 0, high = 0;
    std::size_t voiced = 0;
    for (const std::int16_t p : contour.pitch) {
        if (p <= 0) continue;
        if (voiced == 0 || p < low) low = p;
        if (voiced == 0 || p > high) high = p;
        ++voiced;
    }

    // Time axis: from 0 to the end of the last window, in whole ticks.
    const double end = n ? contour.TimeOf(n - 1) + 256.0 / std::max<std::uint32_t>(contour.rate, 1) : 1.0;
    const double xStep = NiceStep(end, 10);
    const double xMax = std::max(xStep, std::ceil(end / xStep - 1e-9) * xStep);
    // Pitch axis: the voiced range, widened to whole ticks with some room.
    double yLo = 0, yHi = 500;
    if (voiced) {
        const double span = std::max(50.0, static_cast<double>(high - low));
        const double step = NiceStep(span, 5);
        yLo = std::max(0.0, std::floor((low - span * 0.05) / step) * step);
        yHi = std::ceil((high + span * 0.05) / step) * step;
    }
    const double yStep = NiceStep(yHi - yLo, 6);
    const int xTicks = static_cast<int>(std::lround(xMax / xStep));
    const int yTicks = static_cast<int>(std::floor((yHi - yLo) / yStep + 1e-6));
    const int yDecimals = DecimalsOf(yStep);
    auto X = [&](double t) { return kLeft + t / xMax * kPlotW; };
    auto Y = [&](double hz) { return kTop + (yHi - hz) / (yHi - yLo) * kPlotH; };

    TextBuffer svg;
    svg.Reserve(voiced * 20 + 4096);
    svg.Put("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    svg.Put("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"960\" height=\"400\" viewBox=\"0 0 960 400\" "
            "font-family=\"DejaVu Sans, Arial, sans-serif\" font-size=\"12\">\n");
    svg.Put("<rect width=\"960\" height=\"400\" fill=\"white\"/>\n");
    if (!title.empty()) {
        svg.Put("<text x=\"").Fixed(kLeft, 0).Put("\" y=\"26\" font-size=\"15\" font-weight=\"bold\">").Xml(title);
        svg.Put("</text>\n");
    }

    // Grid and tick labels.
    svg.Put("<g stroke=\"#dddddd\" stroke-width=\"1\">\n");
    for (int k = 0; k <= xTicks; ++k)
        svg.Put("<line x1=\"").Fixed(X(k * xStep), 1).Put("\" y1=\"").Fixed(kTop, 1).Put("\" x2=\"").Fixed(X(k * xStep), 1)
            .Put("\" y2=\"").Fixed(kTop + kPlotH, 1).Put("\"/>\n");
    for (int k = 0; k <= yTicks; ++k)
        svg.Put("<line x1=\"").Fixed(kLeft, 1).Put("\" y1=\"").Fixed(Y(yLo + k * yStep), 1).Put("\" x2=\"").Fixed(kLeft + kPlotW, 1)
            .Put("\" y2=\"").Fixed(Y(yLo + k * yStep), 1).Put("\"/>\n");
    svg.Put("</g>\n<g text-anchor=\"middle\">\n");
    const int xDecimals = DecimalsOf(xStep);
    for (int k = 0; k <= xTicks; ++k)
        svg.Put("<text x=\"").Fixed(X(k * xStep), 1).Put("\" y=\"").Fixed(kTop + kPlotH + 18, 1).Put("\">")
            .Fixed(k * xStep, xDecimals).Put("</text>\n");
    svg.Put("</g>\n<g text-anchor=\"end\">\n");
    for (int k = 0; k <= yTicks; ++k)
        svg.Put("<text x=\"").Fixed(kLeft - 8, 1).Put("\" y=\"").Fixed(Y(yLo + k * yStep) + 4, 1).Put("\">")
            .Fixed(yLo + k * yStep, yDecimals).Put("</text>\n");
    svg.Put("</g>\n");

    // Axes and their labels.
    svg.Put("<rect x=\"").Fixed(kLeft, 1).Put("\" y=\"").Fixed(kTop, 1).Put("\" width=\"").Fixed(kPlotW, 1)
        .Put("\" height=\"").Fixed(kPlotH, 1).Put("\" fill=\"none\" stroke=\"black\"/>\n");
    svg.Put("<text x=\"").Fixed(kLeft + kPlotW / 2, 1).Put("\" y=\"").Fixed(kHeight - 12, 1)
        .Put("\" text-anchor=\"middle\" font-size=\"13\">time (s)</text>\n");
    svg.Put("<text transform=\"translate(18,").Fixed(kTop + kPlotH / 2, 1)
        .Put(") rotate(-90)\" text-anchor=\"middle\" font-size=\"13\">pitch (Hz)</text>\n");

    // The voiced values: one path of zero-length segments with round caps,
    // a dot each, far smaller than one element per dot.
    if (voiced) {
        // Smaller dots where thousands of values share the width.
        svg.Put("<path fill=\"none\" stroke=\"#1f5fbf\" stroke-width=\"").Put(n > 3000 ? "2" : "3");
        svg.Put("\" stroke-linecap=\"round\" d=\"");
        for (std::size_t i = 0; i < n; ++i) {
            if (contour.pitch[i] <= 0) continue;
            svg.Put('M').Fixed(X(contour.TimeOf(i)), 1).Put(' ').Fixed(Y(contour.pitch[i]), 1).Put("h0");
        }
        svg.Put("\"/>\n");
    } else {
        svg.Put("<text x=\"").Fixed(kLeft + kPlotW / 2, 1).Put("\" y=\"").Fixed(kTop + kPlotH / 2, 1)
            .Put("\" text-anchor=\"middle\" fill=\"#888888\" font-size=\"14\">no voiced frames</text>\n");
    }
    svg.Put("<text x=\"").Fixed(kLeft + kPlotW, 1).Put("\" y=\"26\" text-anchor=\"end\" fill=\"#555555\">")
        .Int(static_cast<long long>(voiced)).Put(" of ").Int(static_cast<long long>(n)).Put(" values voiced, level ")
        .Shortest(contour.level).Put("</text>\n");
    svg.Put("</svg>\n");
    return svg.Take();
}

}  // namespace sorn::cli
