// DemoPage.h - the demo's page: every voice to hear and see, written beside
// the rendered files so that it opens from the file system, with no server,
// no network and no script.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "demo/Sonogram.h"

namespace corvane::tool {

struct DemoPageEntry {
    std::string title;                    // "Input" or the voice's name
    std::string description;              // may be empty
    std::vector<std::string> parameters;  // one line each, e.g. "Pitch 7 semitones (0 to 12)"
    std::string audio;                    // file name beside the page; empty when the render failed
    std::string picture;                  // its spectrogram's file name
    std::uint32_t pictureWidth = 0, pictureHeight = 0;
    double duration = 0.0;                // seconds
    double latencyMs = -1.0;              // the voice's delay (cut from the file); < 0: none shown
    double speed = 0.0;                   // render speed against real time; 0: none shown
    std::string failure;                  // why there is no audio
};

struct DemoPageInfo {
    std::string sample;  // the input's original path, as text
    std::uint32_t sampleRate = 0;
    std::uint32_t channels = 0;
    std::uint32_t block = 0;
    bool offline = false;
    SpectrogramScale scale;
};

// The page's HTML (UTF-8); every text from a voice package is escaped.
std::string demoPageHtml(const DemoPageInfo& info, const std::vector<DemoPageEntry>& entries);

// "&", "<", ">", quotes -> entities.
std::string escapeHtml(const std::string& text);

// An absolute path as a file:// URL a browser opens ("/a b/x.html" ->
// "file:///a%20b/x.html", "C:\x" -> "file:///C:/x").
std::string fileUrl(const std::filesystem::path& absolutePath);

}  // namespace corvane::tool
