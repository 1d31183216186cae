#include "fx_plot.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "fx_pending_file.h"

namespace klorfx {

namespace {

struct Colour {
    double r, g, b;
};

// Okabe-Ito: tells the curves apart for colour-blind readers too.
const Colour kLevelColours[] = {
    {0.45, 0.45, 0.45},  // first level (0: the identity)
    {0.00, 0.45, 0.70},
    {0.00, 0.62, 0.45},
    {0.90, 0.62, 0.00},
    {0.84, 0.37, 0.00},
    {0.80, 0.47, 0.65},
    {0.34, 0.71, 0.91},
};
const Colour kCurrentColour = {0.0, 0.0, 0.0};
const Colour kBeforeColour = {0.20, 0.20, 0.20};
const Colour kAfterColour = {0.00, 0.45, 0.70};
const Colour kGridColour = {0.89, 0.89, 0.89};
const Colour kAxisColour = {0.25, 0.25, 0.25};

constexpr double kTitleSize = 15.0;
constexpr double kLabelSize = 13.0;
constexpr double kTickSize = 11.5;

// A plot area in pixels and the data range it shows.
struct Panel {
    double left, top, width, height;
    double xMin, xMax, yMin, yMax;

    double px(double x) const { return left + (x - xMin) / (xMax - xMin) * width; }
    double py(double y) const { return top + (yMax - y) / (yMax - yMin) * height; }
};

struct LegendEntry {
    std::string text;
    Colour colour;
    double lineWidth;
    bool dashed;
};

void setColour(cairo_t* cr, const Colour& c) { cairo_set_source_rgb(cr, c.r, c.g, c.b); }

void text(cairo_t* cr, const std::string& s, double x, double y, double size, bool bold,
          double alignX, double alignY) {
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_text_extents_t e;
    cairo_text_extents(cr, s.c_str(), &e);
    cairo_move_to(cr, x - e.x_bearing - e.width * alignX, y - e.y_bearing - e.height * alignY);
    cairo_show_text(cr, s.c_str());
}

std::string tickText(double value, int decimals) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return std::string(buffer) == "-0" ? "0" : buffer;
}

// Grid, frame, ticks, axis titles and the panel title.
void drawAxes(cairo_t* cr, const Panel& p, const std::vector<double>& xTicks,
              const std::vector<double>& yTicks, int xDecimals, int yDecimals, const std::string& xLabel,
              const std::string& yLabel, const std::string& title) {
    cairo_set_line_width(cr, 1.0);
    setColour(cr, kGridColour);
    for (double x : xTicks) {
        cairo_move_to(cr, std::round(p.px(x)) + 0.5, p.top);
        cairo_line_to(cr, std::round(p.px(x)) + 0.5, p.top + p.height);
    }
    for (double y : yTicks) {
        cairo_move_to(cr, p.left, std::round(p.py(y)) + 0.5);
        cairo_line_to(cr, p.left + p.width, std::round(p.py(y)) + 0.5);
    }
    cairo_stroke(cr);

    setColour(cr, kAxisColour);
    cairo_rectangle(cr, std::round(p.left) + 0.5, std::round(p.top) + 0.5, std::round(p.width),
                    std::round(p.height));
    cairo_stroke(cr);
    for (double x : xTicks) {
        cairo_move_to(cr, std::round(p.px(x)) + 0.5, p.top + p.height);
        cairo_line_to(cr, std::round(p.px(x)) + 0.5, p.top + p.height + 5);
        text(cr, tickText(x, xDecimals), p.px(x), p.top + p.height + 8, kTickSize, false, 0.5, 0.0);
    }
    for (double y : yTicks) {
        cairo_move_to(cr, p.left - 5, std::round(p.py(y)) + 0.5);
        cairo_line_to(cr, p.left, std::round(p.py(y)) + 0.5);
        text(cr, tickText(y, yDecimals), p.left - 8, p.py(y), kTickSize, false, 1.0, 0.5);
    }
    cairo_stroke(cr);

    text(cr, xLabel, p.left + p.width / 2, p.top + p.height + 28, kLabelSize, false, 0.5, 0.0);
    cairo_save(cr);
    cairo_translate(cr, p.left - 46, p.top + p.height / 2);
    cairo_rotate(cr, -M_PI / 2);
    text(cr, yLabel, 0, 0, kLabelSize, false, 0.5, 0.5);
    cairo_restore(cr);
    text(cr, title, p.left + p.width / 2, p.top - 12, kTitleSize, true, 0.5, 1.0);
}

void drawSeries(cairo_t* cr, const Panel& p, const std::vector<double>& xs, const std::vector<float>& ys,
                const Colour& colour, double lineWidth, bool dashed) {
    cairo_save(cr);
    cairo_rectangle(cr, p.left, p.top, p.width, p.height);
    cairo_clip(cr);
    setColour(cr, colour);
    cairo_set_line_width(cr, lineWidth);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    if (dashed) {
        const double dash[] = {6.0, 4.0};
        cairo_set_dash(cr, dash, 2, 0.0);
    }
    bool penDown = false;
    for (size_t i = 0; i < xs.size() && i < ys.size(); ++i) {
        // Infinite or NaN samples (a negative level can make them) break
        // the line instead of sending it off the picture.
        if (!std::isfinite(ys[i])) {
            penDown = false;
            continue;
        }
        const double y = std::max(p.yMin - 1.0, std::min(p.yMax + 1.0, static_cast<double>(ys[i])));
        if (penDown) {
            cairo_line_to(cr, p.px(xs[i]), p.py(y));
        } else {
            cairo_move_to(cr, p.px(xs[i]), p.py(y));
            penDown = true;
        }
    }
    cairo_stroke(cr);
    cairo_restore(cr);
}

// A boxed legend, optionally headed by `title`. (x, y) is its top-left
// corner, or its bottom-right corner when `fromBottomRight`.
void drawLegend(cairo_t* cr, double x, double y, bool fromBottomRight, const std::string& title,
                const std::vector<LegendEntry>& entries) {
    constexpr double kRow = 19.0, kSwatch = 26.0, kPad = 8.0;
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, kTickSize);
    double widest = 0.0;
    for (const LegendEntry& e : entries) {
        cairo_text_extents_t extents;
        cairo_text_extents(cr, e.text.c_str(), &extents);
        widest = std::max(widest, kSwatch + kPad + extents.x_advance);
    }
    const double rows = static_cast<double>(entries.size() + (title.empty() ? 0 : 1));
    const double w = kPad * 2 + widest;
    const double h = kPad * 2 + kRow * rows - 4.0;
    if (fromBottomRight) {
        x -= w;
        y -= h;
    }
    cairo_rectangle(cr, std::round(x) + 0.5, std::round(y) + 0.5, std::round(w), std::round(h));
    cairo_set_source_rgba(cr, 1.0, 1.0, 1.0, 0.92);
    cairo_fill_preserve(cr);
    setColour(cr, kGridColour);
    cairo_set_line_width(cr, 1.0);
    cairo_stroke(cr);
    double rowY = y + kPad + 7.0;
    if (!title.empty()) {
        setColour(cr, kAxisColour);
        text(cr, title, x + kPad, rowY, kTickSize, true, 0.0, 0.5);
        rowY += kRow;
    }
    for (const LegendEntry& e : entries) {
        cairo_save(cr);
        setColour(cr, e.colour);
        cairo_set_line_width(cr, e.lineWidth);
        if (e.dashed) {
            const double dash[] = {6.0, 4.0};
            cairo_set_dash(cr, dash, 2, 0.0);
        }
        cairo_move_to(cr, x + kPad, rowY);
        cairo_line_to(cr, x + kPad + kSwatch, rowY);
        cairo_stroke(cr);
        cairo_restore(cr);
        setColour(cr, kAxisColour);
        text(cr, e.text, x + kPad * 2 + kSwatch, rowY, kTickSize, false, 0.0, 0.5);
        rowY += kRow;
    }
}

std::string levelText(float level) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%.2f", static_cast<double>(level));
    return buffer;
}

void drawTransferPanel(cairo_t* cr, const Panel& p, const PlotData& data) {
    drawAxes(cr, p, {-2, -1, 0, 1, 2}, {-2, -1, 0, 1, 2}, 0, 0, "input sample",
             "output sample", "Transfer curve");
    std::vector<double> xs(data.curveInput.begin(), data.curveInput.end());
    std::vector<LegendEntry> legend;
    const size_t paletteSize = sizeof kLevelColours / sizeof kLevelColours[0];
    // Two passes so that the current level is drawn on top of the others.
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t i = 0; i < data.curves.size(); ++i) {
            const TransferCurve& curve = data.curves[i];
            const Colour colour = curve.current ? kCurrentColour : kLevelColours[i % paletteSize];
            const bool dashed = curve.level == 0.0f && !curve.current;
            const double width = curve.current ? 3.0 : 1.8;
            if ((pass == 1) == curve.current) drawSeries(cr, p, xs, curve.output, colour, width, dashed);
            if (pass == 0) {
                legend.push_back({levelText(curve.level) + (curve.current ? " (this run)" : ""), colour,
                                  width, dashed});
            }
        }
    }
    // An odd curve that keeps the sign leaves the lower right quadrant
    // empty: the legend goes there.
    drawLegend(cr, p.left + p.width - 10, p.top + p.height - 10, true, "level", legend);
}

std::vector<double> niceTicks(double maxValue, int* decimals) {
    const double steps[] = {0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.25, 0.5, 1, 2, 5, 10, 20, 50, 100, 200, 500, 1000};
    double step = steps[sizeof steps / sizeof steps[0] - 1];
    for (double s : steps) {
        if (maxValue / s <= 5.0) {
            step = s;
            break;
        }
    }
    *decimals = step >= 1.0 ? 0 : (step >= 0.1 ? (step == 0.25 ? 2 : 1) : (step >= 0.01 ? 2 : 3));
    std::vector<double> ticks;
    for (double t = 0.0; t <= maxValue * (1.0 + 1e-9); t += step) ticks.push_back(t);
    return ticks;
}

void drawWaveformPanel(cairo_t* cr, const Panel& frame, const PlotData& data) {
    Panel p = frame;
    const double rate = static_cast<double>(data.sampleRate);
    const double durationMs = 1000.0 * static_cast<double>(data.before.size()) / rate;

    float peak = 0.0f;
    for (float v : data.before) if (std::isfinite(v)) peak = std::max(peak, std::fabs(v));
    for (float v : data.after) if (std::isfinite(v)) peak = std::max(peak, std::fabs(v));
    // Headroom above the signal keeps the legend off the waveform.
    const double span = peak > 0.0f ? std::min(4.0, std::max(0.01, static_cast<double>(peak) * 1.45)) : 1.0;
    int yDecimals = 0;
    std::vector<double> positive = niceTicks(span, &yDecimals);
    std::vector<double> yTicks;
    for (auto it = positive.rbegin(); it != positive.rend(); ++it) if (*it > 0.0) yTicks.push_back(-*it);
    yTicks.insert(yTicks.end(), positive.begin(), positive.end());
    p.yMin = -span;
    p.yMax = span;
    p.xMin = 0.0;
    p.xMax = durationMs;
    int xDecimals = 0;
    const std::vector<double> xTicks = niceTicks(durationMs, &xDecimals);

    const std::string title = "Waveform, channel " + std::to_string(data.channel + 1);
    drawAxes(cr, p, xTicks, yTicks, xDecimals, yDecimals, "time (ms)", "amplitude", title);
    std::vector<double> xs(data.before.size());
    for (size_t i = 0; i < xs.size(); ++i) xs[i] = 1000.0 * static_cast<double>(i) / rate;
    // The input on top, thin, so that where the effect leaves a sample
    // alone both lines stay visible.
    drawSeries(cr, p, xs, data.after, kAfterColour, 2.0, false);
    drawSeries(cr, p, xs, data.before, kBeforeColour, 1.0, false);
    drawLegend(cr, p.left + 10, p.top + 10, false, "",
               {{"before: " + data.source, kBeforeColour, 2.0, false},
                {data.afterLabel, kAfterColour, 2.0, false}});
}

cairo_status_t writeToFd(void* closure, const unsigned char* bytes, unsigned int length) {
    const int fd = *static_cast<int*>(closure);
    while (length > 0) {
        const ssize_t n = ::write(fd, bytes, length);
        if (n <= 0) return CAIRO_STATUS_WRITE_ERROR;
        bytes += n;
        length -= static_cast<unsigned int>(n);
    }
    return CAIRO_STATUS_SUCCESS;
}

}  // namespace

Status writePlot(const std::string& path, const PlotData& data) {
    std::unique_ptr<cairo_surface_t, void (*)(cairo_surface_t*)> surface(
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, kPlotWidth, kPlotHeight), cairo_surface_destroy);
    std::unique_ptr<cairo_t, void (*)(cairo_t*)> context(cairo_create(surface.get()), cairo_destroy);
    cairo_t* cr = context.get();
    cairo_set_source_rgb(cr, 1.0, 1.0, 1.0);
    cairo_paint(cr);

    // Layout, in pixels of the 800 x 500 picture:
    //   with a waveform   transfer panel 70..400 | waveform panel 490..780
    //   curves only       one transfer panel 200..600
    //   both              plot areas from y 48 to 432, labels below
    const double top = 48.0, height = 384.0;
    if (data.before.empty()) {
        drawTransferPanel(cr, Panel{200.0, top, 400.0, height, -2.0, 2.0, -2.0, 2.0}, data);
    } else {
        drawTransferPanel(cr, Panel{70.0, top, 330.0, height, -2.0, 2.0, -2.0, 2.0}, data);
        drawWaveformPanel(cr, Panel{490.0, top, 290.0, height, 0.0, 1.0, -1.0, 1.0}, data);
    }
    if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
        return Status::failure(kExitFailure, std::string("cannot draw the picture: ") +
                                                 cairo_status_to_string(cairo_status(cr)));
    }

    std::unique_ptr<PendingFile> pending;
    Status status = PendingFile::create(path, &pending);
    if (!status.ok()) return status;
    int fd = pending->fd();
    const cairo_status_t written = cairo_surface_write_to_png_stream(surface.get(), writeToFd, &fd);
    if (written != CAIRO_STATUS_SUCCESS) {
        return Status::failure(kExitOutput, "cannot write '" + path + "': " + cairo_status_to_string(written));
    }
    return pending->commit();
}

void releasePlotCaches() {
#ifdef KLOR_SANITIZER_BUILD
    cairo_debug_reset_static_data();
    FcFini();
#endif
}

}  // namespace klorfx
