#include "svg_plot.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace velmar::tool {
namespace {

constexpr double kWidth = 900.0;
constexpr double kHeight = 440.0;
constexpr double kLeft = 90.0;
constexpr double kRight = 30.0;
constexpr double kTop = 50.0;
constexpr double kBottom = 70.0;

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.2f", value);
    return text;
}

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else if (c == '&') {
            out += "&amp;";
        } else {
            out += c;
        }
    }
    return out;
}

// A time unit that keeps the axis numbers between 1 and 1000.
void TimeUnit(double span_s, double* scale, const char** name) {
    if (span_s >= 1.0) {
        *scale = 1.0;
        *name = "s";
    } else if (span_s >= 1e-3) {
        *scale = 1e3;
        *name = "ms";
    } else if (span_s >= 1e-6) {
        *scale = 1e6;
        *name = "\xC2\xB5s";  // µs
    } else {
        *scale = 1e9;
        *name = "ns";
    }
}

// 1, 2 or 5 times a power of ten, giving about `wanted` steps over `span`.
double NiceStep(double span, int wanted) {
    const double raw = span / wanted;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double factor : {1.0, 2.0, 5.0, 10.0}) {
        if (factor * power >= raw) return factor * power;
    }
    return 10.0 * power;
}

std::string TickLabel(double value, double step) {
    const int decimals = step >= 1.0 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
    char text[32];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

}  // namespace

std::string RenderWavePlot(const WavePlot& plot) {
    const size_t points = plot.loop.size() * static_cast<size_t>(std::max(plot.loops, 1));
    const double span_s = plot.sample_clock_hz > 0.0 && points > 0
                              ? static_cast<double>(points) / plot.sample_clock_hz
                              : 1.0;
    double scale = 1.0;
    const char* unit = "s";
    TimeUnit(span_s, &scale, &unit);
    const double x_span = span_s * scale;
    const double top_code = std::ldexp(1.0, plot.dac_bits) - 1.0;
    const double plot_w = kWidth - kLeft - kRight;
    const double plot_h = kHeight - kTop - kBottom;
    auto x_of = [&](double t) { return kLeft + plot_w * t / x_span; };
    auto y_of = [&](double code) { return kTop + plot_h * (1.0 - code / top_code); };

    std::ostringstream svg;
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\""
        << kHeight << "\" viewBox=\"0 0 " << kWidth << ' ' << kHeight
        << "\" font-family=\"sans-serif\" font-size=\"13\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text x=\"" << kWidth / 2 << "\" y=\"28\" text-anchor=\"middle\" font-size=\"16\">"
        << Escape(plot.title) << "</text>\n";

    // Time grid and labels.
    const double x_step = NiceStep(x_span, 8);
    svg << "<g stroke=\"#dddddd\">\n";
    for (double t = 0.0; t <= x_span * (1 + 1e-9); t += x_step) {
        svg << "<line x1=\"" << Number(x_of(t)) << "\" y1=\"" << kTop << "\" x2=\""
            << Number(x_of(t)) << "\" y2=\"" << kTop + plot_h << "\"/>\n";
    }
    svg << "</g>\n<g text-anchor=\"middle\">\n";
    for (double t = 0.0; t <= x_span * (1 + 1e-9); t += x_step) {
        svg << "<text x=\"" << Number(x_of(t)) << "\" y=\"" << kTop + plot_h + 20 << "\">"
            << TickLabel(t, x_step) << "</text>\n";
    }
    svg << "</g>\n";

    // Value grid: round codes (1, 2 or 5 times a power of ten) from 0 up to
    // the top of the DAC's range.
    const double y_step = std::max(1.0, NiceStep(top_code, 4));
    svg << "<g stroke=\"#dddddd\">\n";
    for (double code = 0.0; code <= top_code; code += y_step) {
        const double y = y_of(code);
        svg << "<line x1=\"" << kLeft << "\" y1=\"" << Number(y) << "\" x2=\"" << kLeft + plot_w
            << "\" y2=\"" << Number(y) << "\"/>\n";
    }
    svg << "</g>\n<g text-anchor=\"end\">\n";
    for (double code = 0.0; code <= top_code; code += y_step) {
        svg << "<text x=\"" << kLeft - 8 << "\" y=\"" << Number(y_of(code) + 4) << "\">"
            << static_cast<long>(code) << "</text>\n";
    }
    svg << "</g>\n";

    // Axes and their names.
    svg << "<g stroke=\"black\">\n"
        << "<line x1=\"" << kLeft << "\" y1=\"" << kTop + plot_h << "\" x2=\"" << kLeft + plot_w
        << "\" y2=\"" << kTop + plot_h << "\"/>\n"
        << "<line x1=\"" << kLeft << "\" y1=\"" << kTop << "\" x2=\"" << kLeft << "\" y2=\""
        << kTop + plot_h << "\"/>\n"
        << "</g>\n"
        << "<text x=\"" << kLeft + plot_w / 2 << "\" y=\"" << kHeight - 18
        << "\" text-anchor=\"middle\">time (" << unit << ")</text>\n"
        << "<text x=\"22\" y=\"" << kTop + plot_h / 2
        << "\" text-anchor=\"middle\" transform=\"rotate(-90 22 " << kTop + plot_h / 2
        << ")\">sample value (DAC code, " << plot.dac_bits << " bits)</text>\n";

    // The samples, each held for one sample clock period as the DAC does.
    svg << "<polyline fill=\"none\" stroke=\"#1f5fbf\" stroke-width=\"1.5\" points=\"";
    const double dt = plot.sample_clock_hz > 0.0 ? scale / plot.sample_clock_hz : 0.0;
    size_t index = 0;
    for (int loop = 0; loop < std::max(plot.loops, 1); ++loop) {
        for (uint16_t code : plot.loop) {
            const double y = y_of(code);
            svg << Number(x_of(dt * index)) << ',' << Number(y) << ' '
                << Number(x_of(dt * (index + 1))) << ',' << Number(y) << ' ';
            ++index;
        }
    }
    svg << "\"/>\n</svg>\n";
    return svg.str();
}

bool WriteWavePlot(const std::string& path, const WavePlot& plot, std::string* error) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    file << RenderWavePlot(plot);
    file.close();
    if (!file) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace velmar::tool
