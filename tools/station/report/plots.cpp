#include "report/plots.h"

#include "report/format.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace station::report {

namespace {

const char kFont[] = R"( font-family="sans-serif" font-size="11")";
const char kLimitColour[] = "#c0392b";
const char kMarginalColour[] = "#d68910";
const char kBarColour[] = "#4a78b5";
// A white outline that keeps a label readable over bars and lines.
const char kHalo[] = R"( paint-order="stroke" stroke="#fff" stroke-width="3" stroke-linejoin="round")";

// A coordinate with one decimal, whatever the locale.
std::string At(double aValue)
{
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, aValue, std::chars_format::fixed, 1);
    return std::string(text, result.ptr);
}

std::string Text(double aX, double aY, const char* aAnchor, const std::string& aHtml, const std::string& aExtra = "")
{
    return "<text x=\"" + At(aX) + "\" y=\"" + At(aY) + "\" text-anchor=\"" + aAnchor + "\"" + aExtra + ">" + aHtml +
           "</text>";
}

std::string Line(double aX1, double aY1, double aX2, double aY2, const std::string& aStyle)
{
    return "<line x1=\"" + At(aX1) + "\" y1=\"" + At(aY1) + "\" x2=\"" + At(aX2) + "\" y2=\"" + At(aY2) + "\" " +
           aStyle + "/>";
}

std::string Rect(double aX, double aY, double aWidth, double aHeight, const std::string& aStyle,
                 const std::string& aTitle = "")
{
    std::string rect = "<rect x=\"" + At(aX) + "\" y=\"" + At(aY) + "\" width=\"" + At(aWidth) + "\" height=\"" +
                       At(aHeight) + "\" " + aStyle;
    if (aTitle.empty()) return rect + "/>";
    return rect + "><title>" + aTitle + "</title></rect>";
}

std::string Open(double aWidth, double aHeight, const std::string& aLabel)
{
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + At(aWidth) + " " + At(aHeight) +
           "\" width=\"" + At(aWidth) + "\" height=\"" + At(aHeight) + "\" role=\"img\" aria-label=\"" +
           Html(aLabel) + "\"" + kFont + "><title>" + Html(aLabel) + "</title>";
}

// The histogram's frame, in the SVG's own units.
constexpr double kWidth = 600, kHeight = 236;
constexpr double kLeft = 46, kRight = 588, kTop = 40, kBottom = 196;

// A vertical line across the plot: a limit, an edge of the marginal band,
// or the mean.
struct Marker {
    double value;
    std::string label;
    std::string style;
    double labelY;
};

// Maps values to x. Values are scaled by a power of two into [-1, 1]
// first (exact), so huge values and their differences stay finite. The
// view spans the data, and every marker no further from the data than
// twice its span; farther markers are shown at the edge.
class Axis {
public:
    Axis(const MeasurementStats& aStats, const std::vector<Marker>& aMarkers)
    {
        // The bins' edges: whole numbers' bins reach half a unit past the values.
        const double first = aStats.bins.front().low, last = aStats.bins.back().high;
        double biggest = std::max(std::fabs(first), std::fabs(last));
        for (const Marker& m : aMarkers) biggest = std::max(biggest, std::fabs(m.value));
        if (biggest > 0) std::frexp(biggest, &mExponent);
        const double low = Scaled(first), high = Scaled(last);
        double span = high - low;
        if (span <= 0) span = low != 0 ? std::fabs(low) * 0.1 : 1;
        mLow = low, mHigh = high;
        for (const Marker& m : aMarkers) {
            const double v = Scaled(m.value);
            if (v >= low - 2 * span && v <= high + 2 * span) mLow = std::min(mLow, v), mHigh = std::max(mHigh, v);
        }
        if (mHigh <= mLow) mLow -= span / 2, mHigh += span / 2;
        const double pad = (mHigh - mLow) * 0.04;
        mLow -= pad, mHigh += pad;
    }

    // The x of a value; below kLeft or above kRight when off the view.
    double X(double aValue) const { return kLeft + (Scaled(aValue) - mLow) / (mHigh - mLow) * (kRight - kLeft); }

private:
    double Scaled(double aValue) const { return std::ldexp(aValue, -mExponent); }

    int mExponent = 0;
    double mLow = 0, mHigh = 1;
};

const char* Anchor(double aX)
{
    if (aX < kLeft + 40) return "start";
    if (aX > kRight - 40) return "end";
    return "middle";
}

double Clamped(double aX)
{
    return std::clamp(aX, kLeft, kRight);
}

std::vector<Marker> Markers(const MeasurementStats& aStats)
{
    const std::string limit = std::string("stroke=\"") + kLimitColour + "\" stroke-width=\"2\"";
    const std::string marginal = std::string("stroke=\"") + kMarginalColour + "\" stroke-width=\"1.5\" stroke-dasharray=\"5 3\"";
    std::vector<Marker> markers;
    if (aStats.low) markers.push_back({*aStats.low, "low " + ShownNumber(*aStats.low), limit, 12});
    if (aStats.high) markers.push_back({*aStats.high, "high " + ShownNumber(*aStats.high), limit, 12});
    if (aStats.marginalLow) markers.push_back({*aStats.marginalLow, "marginal " + ShownNumber(*aStats.marginalLow), marginal, 25});
    if (aStats.marginalHigh) markers.push_back({*aStats.marginalHigh, "marginal " + ShownNumber(*aStats.marginalHigh), marginal, 25});
    return markers;
}

}  // namespace

std::string HistogramSvg(const MeasurementStats& aStats)
{
    if (aStats.count == 0 || aStats.bins.empty() || !aStats.min || !aStats.max) return "";
    const std::vector<Marker> markers = Markers(aStats);
    const Axis axis(aStats, markers);
    std::string unit = aStats.unit.empty() ? "" : " (" + aStats.unit + ")";
    std::string svg = Open(kWidth, kHeight, "Histogram of " + aStats.step + " " + aStats.name + unit);

    // Shading first: outside the limits, and the marginal band inside them.
    const std::string outside = "fill=\"" + std::string(kLimitColour) + "\" fill-opacity=\"0.10\"";
    const std::string band = "fill=\"" + std::string(kMarginalColour) + "\" fill-opacity=\"0.18\"";
    const double lowX = aStats.low ? Clamped(axis.X(*aStats.low)) : kLeft;
    const double highX = aStats.high ? Clamped(axis.X(*aStats.high)) : kRight;
    if (lowX > kLeft) svg += Rect(kLeft, kTop, lowX - kLeft, kBottom - kTop, outside);
    if (highX < kRight) svg += Rect(highX, kTop, kRight - highX, kBottom - kTop, outside);
    if (aStats.marginalLow) {
        const double x = std::min(Clamped(axis.X(*aStats.marginalLow)), highX);
        if (x > lowX) svg += Rect(lowX, kTop, x - lowX, kBottom - kTop, band);
    }
    if (aStats.marginalHigh) {
        const double x = std::max(Clamped(axis.X(*aStats.marginalHigh)), lowX);
        if (x < highX) svg += Rect(x, kTop, highX - x, kBottom - kTop, band);
    }

    std::size_t most = 0;
    for (const Bin& b : aStats.bins) most = std::max(most, b.count);
    const std::string bar = "fill=\"" + std::string(kBarColour) + "\"";
    for (const Bin& b : aStats.bins) {
        if (b.count == 0) continue;
        double x1 = axis.X(b.low), x2 = axis.X(b.high);
        if (x2 - x1 < 3) x1 = (x1 + x2) / 2 - 4, x2 = x1 + 8;  // one value, or bins too narrow to see
        const double height = static_cast<double>(b.count) / static_cast<double>(most) * (kBottom - kTop - 6);
        svg += Rect(x1, kBottom - height, std::max(1.0, x2 - x1 - 0.5), height, bar,
                    ShownNumber(b.low, 6) + " to " + ShownNumber(b.high, 6) + ": " + std::to_string(b.count));
    }

    for (const Marker& m : markers) {
        const double x = axis.X(m.value);
        if (x < kLeft) {
            svg += Text(kLeft, m.labelY, "start", "&#8592; " + Html(m.label), kHalo);
        } else if (x > kRight) {
            svg += Text(kRight, m.labelY, "end", Html(m.label) + " &#8594;", kHalo);
        } else {
            svg += Line(x, m.labelY + 3, x, kBottom, m.style);
            svg += Text(x, m.labelY, Anchor(x), Html(m.label), kHalo);
        }
    }
    if (aStats.mean) {
        const double x = axis.X(*aStats.mean);
        svg += Line(x, kTop, x, kBottom, "stroke=\"#222\" stroke-width=\"1\" stroke-dasharray=\"2 2\"");
        svg += Text(x + 3, kTop + 10, "start", "mean " + Html(ShownNumber(*aStats.mean)), kHalo);
    }

    // Axes: counts on the left, the smallest and largest value below.
    svg += Line(kLeft, kBottom, kRight, kBottom, "stroke=\"#444\"");
    svg += Line(kLeft, kTop, kLeft, kBottom, "stroke=\"#444\"");
    svg += Text(kLeft - 4, kBottom, "end", "0");
    svg += Text(kLeft - 4, kTop + 10, "end", std::to_string(most));
    const double minX = axis.X(*aStats.min), maxX = axis.X(*aStats.max);
    if (maxX - minX < 80) {
        std::string range = ShownNumber(*aStats.min);
        if (*aStats.max != *aStats.min) range += " to " + ShownNumber(*aStats.max);
        svg += Text((minX + maxX) / 2, kBottom + 15, Anchor((minX + maxX) / 2), Html(range));
    } else {
        svg += Text(minX, kBottom + 15, Anchor(minX), Html(ShownNumber(*aStats.min)));
        svg += Text(maxX, kBottom + 15, Anchor(maxX), Html(ShownNumber(*aStats.max)));
    }
    svg += Text((kLeft + kRight) / 2, kBottom + 34, "middle",
                Html(aStats.name + unit) + ", " + std::to_string(aStats.count) + " values", " fill=\"#444\"");
    return svg + "</svg>";
}

std::string ParetoSvg(const Pareto& aPareto, const std::string& aLabel)
{
    if (aPareto.attempts == 0 || aPareto.steps.empty()) return "";
    constexpr double kRow = 22, kHead = 22, kBarsLeft = 196, kBarsWidth = 270;
    const std::size_t rows = std::min(aPareto.steps.size(), kParetoBars);
    const bool more = aPareto.steps.size() > rows;
    const double height = kHead + kRow * static_cast<double>(rows + (more ? 1 : 0)) + 6;
    std::string svg = Open(kWidth, height, aLabel);
    svg += Text(kBarsLeft - 6, 14, "end", "step", " fill=\"#444\"");
    svg += Text(kBarsLeft, 14, "start", "attempts", " fill=\"#444\"");
    svg += Text(kWidth - 4, 14, "end", "cumulative", " fill=\"#444\"");
    const double most = static_cast<double>(aPareto.steps.front().count);
    for (std::size_t i = 0; i < rows; ++i) {
        const ParetoRow& row = aPareto.steps[i];
        const double y = kHead + kRow * static_cast<double>(i);
        const std::string step = row.step.empty() ? "(no step)" : row.step;
        const double width = std::max(1.0, static_cast<double>(row.count) / most * kBarsWidth);
        svg += "<g><title>" + Html(step) + ": " + std::to_string(row.count) + " (" + Percent(row.share) + ")</title>";
        svg += Text(kBarsLeft - 6, y + 15, "end", Html(Shortened(step, 28)));
        svg += Rect(kBarsLeft, y + 3, width, kRow - 6, "fill=\"" + std::string(kLimitColour) + "\"");
        svg += Text(kBarsLeft + width + 4, y + 15, "start", std::to_string(row.count) + " (" + Percent(row.share) + ")");
        svg += Text(kWidth - 4, y + 15, "end", Percent(row.cumulative));
        svg += "</g>";
    }
    if (more) {
        const double y = kHead + kRow * static_cast<double>(rows);
        svg += Text(4, y + 15, "start",
                    "and " + std::to_string(aPareto.steps.size() - rows) + " more steps (pareto.csv)", " fill=\"#444\"");
    }
    return svg + "</svg>";
}

}  // namespace station::report
