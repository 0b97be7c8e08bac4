// PraatPitch.cpp - see PraatPitch.h. Praat runs a script that reads a list
// of WAV paths and prints each file's frames; popen reads its output.
#include "PraatPitch.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <unistd.h>

namespace quality {
namespace {

const char* const kScript = R"(form Pitch of every file listed
  sentence List
endform
list = Read Strings from raw text file: list$
files = Get number of strings
for k to files
  selectObject: list
  path$ = Get string: k
  sound = Read from file: path$
  pitch = To Pitch (ac): 0.005, 55, 15, "no", 0.03, 0.45, 0.01, 0.35, 0.14, 800
  n = Get number of frames
  appendInfoLine: "file ", k, " ", n
  for i to n
    t = Get time from frame number: i
    f = Get value in frame: i, "Hertz"
    if f = undefined
      f = 0
    endif
    appendInfoLine: fixed$(t, 6), " ", fixed$(f, 3)
  endfor
  removeObject: sound, pitch
endfor
)";

std::string quoted(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

// Runs `command`, returning its standard output and whether it exited 0.
bool runCommand(const std::string& command, std::string& output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return false;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
    return pclose(pipe) == 0;
}

}  // namespace

bool praatAvailable() {
    std::string ignored;
    return runCommand("praat --version 2>/dev/null", ignored);
}

std::vector<PitchFrames> parsePraatOutput(const std::string& text, std::size_t files) {
    std::istringstream in(text);
    std::vector<PitchFrames> out;
    for (std::size_t k = 1; k <= files; ++k) {
        std::string word;
        std::size_t index = 0, frames = 0;
        if (!(in >> word >> index >> frames) || word != "file" || index != k)
            throw std::runtime_error("praat's output lacks the frames of file " + std::to_string(k));
        PitchFrames f;
        for (std::size_t i = 0; i < frames; ++i) {
            double t = 0.0, hz = 0.0;
            if (!(in >> t >> hz) || hz < 0.0 || (i > 0 && !(t > f.times.back())))
                throw std::runtime_error("praat's output: frame " + std::to_string(i + 1) + " of file " +
                                         std::to_string(k) + " is not a time and a frequency");
            f.times.push_back(t);
            f.f0.push_back(hz);
        }
        out.push_back(std::move(f));
    }
    return out;
}

std::vector<PitchFrames> praatPitch(const std::vector<Audio>& signals) {
    namespace fs = std::filesystem;
    if (!praatAvailable()) {
        std::fprintf(stderr, "quality: praat not found (Debian: praat): its reference rows are unavailable\n");
        return {};
    }
    const fs::path dir = fs::temp_directory_path() / ("corvane-quality-praat-" + std::to_string(getpid()));
    std::vector<PitchFrames> frames;
    try {
        fs::create_directories(dir);
        std::ofstream(dir / "pitch.praat") << kScript;
        std::ofstream list(dir / "files.txt");
        for (std::size_t k = 0; k < signals.size(); ++k) {
            const fs::path wav = dir / ("signal" + std::to_string(k) + ".wav");
            writeAudio(wav.string(), signals[k]);
            list << wav.string() << "\n";
        }
        list.close();
        std::string output;
        const std::string command = "praat --run " + quoted(dir / "pitch.praat") + " " + quoted(dir / "files.txt") +
                                    " 2>" + quoted(dir / "errors.txt");
        if (!runCommand(command, output)) {
            std::ifstream errors(dir / "errors.txt");
            std::string first;
            std::getline(errors, first);
            throw std::runtime_error("praat failed: " + first);
        }
        frames = parsePraatOutput(output, signals.size());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quality: %s: Praat's reference rows are unavailable\n", e.what());
        frames.clear();
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return frames;
}

}  // namespace quality
