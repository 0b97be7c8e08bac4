#include "demo/DemoPage.h"

#include <cctype>
#include <cstdio>
#include <sstream>

namespace corvane::tool {

namespace {

std::string number(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

std::string hex(const Rgb& c) {
    char text[8];
    std::snprintf(text, sizeof(text), "#%02x%02x%02x", c.r, c.g, c.b);
    return text;
}

constexpr const char* kStyle = R"(
body { font-family: sans-serif; margin: 1.5em auto; max-width: 72em; padding: 0 1em; color: #222; }
h1 { font-size: 1.5em; } h2 { font-size: 1.15em; margin: 0 0 .3em; }
section { border-top: 1px solid #ccc; padding: 1em 0; }
.facts { color: #555; font-size: .9em; margin: .2em 0; }
ul.params { margin: .3em 0; padding-left: 1.2em; font-size: .9em; }
audio { display: block; width: 100%; max-width: 40em; margin: .5em 0; }
.plot { display: flex; align-items: flex-start; gap: .3em; padding-top: .6em; }
.freq, .time { position: relative; font-size: .75em; color: #555; }
.freq { width: 3.5em; text-align: right; }
.freq span { position: absolute; right: 0; transform: translateY(-50%); white-space: nowrap; }
.time { height: 1.6em; margin-left: 3.8em; }
.time span { position: absolute; top: .2em; transform: translateX(-50%); white-space: nowrap; }
.plot img { display: block; }
.legend { display: inline-block; width: 16em; height: .9em; vertical-align: middle; border: 1px solid #999; }
.failed { color: #a00; }
)";

}  // namespace

std::string escapeHtml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string fileUrl(const std::filesystem::path& absolutePath) {
    std::string path = absolutePath.generic_u8string();
    if (path.empty() || path.front() != '/') path.insert(path.begin(), '/');  // C:/x -> /C:/x
    std::string url = "file://";
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~' || c == ':') {
            url += static_cast<char>(c);
        } else {
            char text[4];
            std::snprintf(text, sizeof(text), "%%%02X", c);
            url += text;
        }
    }
    return url;
}

std::string demoPageHtml(const DemoPageInfo& info, const std::vector<DemoPageEntry>& entries) {
    const SpectrogramScale& scale = info.scale;
    std::ostringstream html;
    html << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
         << "<title>corvane-voicemod: every voice</title>\n<style>" << kStyle << "</style>\n</head>\n<body>\n"
         << "<h1>Every voice of corvane-voicemod</h1>\n"
         << "<p>The speech sample <code>" << escapeHtml(info.sample) << "</code> (" << info.sampleRate << " Hz, "
         << (info.channels == 1 ? std::string("mono") : std::to_string(info.channels) + " channels")
         << ") through each voice at its default parameters, in blocks of " << info.block << " frames"
         << (info.offline ? ", in the engine's offline mode" : "")
         << ", background sounds off, as <code>corvane-voicemod demo</code> rendered it. Each file is aligned with "
            "the input: the voice's latency is cut from its start.</p>\n";

    // The colour scale, from the palette itself.
    const std::vector<Rgb>& palette = spectrogramPalette();
    html << "<p class=\"facts\">Spectrograms, all on one scale: time left to right (" << number(scale.columnsPerSecond, 0)
         << " pixels a second), frequency 0 to " << number(scale.topFrequency / 1000.0, 0)
         << " kHz bottom to top (linear), level " << number(scale.floorDb, 0)
         << " dB <span class=\"legend\" style=\"background: linear-gradient(to right";
    for (std::size_t i = 0; i < palette.size(); i += 51) html << ", " << hex(palette[i]);
    html << ")\"></span> " << number(scale.ceilingDb, 0)
         << " dB against a full-scale sine (Hann window of about 21 ms, the strongest bin of each row).</p>\n";

    for (const DemoPageEntry& e : entries) {
        html << "<section>\n<h2>" << escapeHtml(e.title) << "</h2>\n";
        if (!e.description.empty()) html << "<p>" << escapeHtml(e.description) << "</p>\n";
        if (!e.parameters.empty()) {
            html << "<ul class=\"params\">";
            for (const std::string& p : e.parameters) html << "<li>" << escapeHtml(p) << "</li>";
            html << "</ul>\n";
        }
        if (e.audio.empty()) {
            html << "<p class=\"failed\">Not rendered: " << escapeHtml(e.failure) << "</p>\n</section>\n";
            continue;
        }
        html << "<p class=\"facts\">" << number(e.duration, 2) << " s";
        if (e.latencyMs >= 0.0) html << " &middot; latency " << number(e.latencyMs, 1) << " ms";
        if (e.speed > 0.0) html << " &middot; rendered at " << number(e.speed, 0) << "&times; real time";
        html << "</p>\n<audio controls preload=\"metadata\" src=\"" << escapeHtml(e.audio) << "\"></audio>\n";
        html << "<div class=\"plot\"><div class=\"freq\" style=\"height: " << e.pictureHeight << "px\">";
        for (double khz = 0.0; khz <= scale.topFrequency / 1000.0 + 1e-9; khz += 4.0)
            html << "<span style=\"top: " << number(100.0 * (1.0 - khz * 1000.0 / scale.topFrequency), 2) << "%\">"
                 << number(khz, 0) << " kHz</span>";
        html << "</div><img src=\"" << escapeHtml(e.picture) << "\" width=\"" << e.pictureWidth << "\" height=\""
             << e.pictureHeight << "\" alt=\"Spectrogram of " << escapeHtml(e.title) << "\"></div>\n";
        html << "<div class=\"time\" style=\"width: " << e.pictureWidth << "px\">";
        for (int s = 0; s <= static_cast<int>(e.duration); ++s)
            html << "<span style=\"left: " << number(100.0 * s / (e.pictureWidth / scale.columnsPerSecond), 2)
                 << "%\">" << s << " s</span>";
        html << "</div>\n</section>\n";
    }
    html << "</body>\n</html>\n";
    return html.str();
}

}  // namespace corvane::tool
