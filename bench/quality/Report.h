// Report.h - Markdown tables and the list of pass/fail targets the
// quality program prints.
#pragma once

#include <string>
#include <vector>

namespace quality {

class Table {
public:
    // `align` holds one character per column: 'l' or 'r'.
    Table(std::vector<std::string> header, std::string align);
    void add(std::vector<std::string> row);
    std::string markdown() const;

private:
    std::vector<std::string> header_;
    std::string align_;
    std::vector<std::vector<std::string>> rows_;
};

// A number with `decimals` decimals; "-inf"/"inf" for infinities; a
// leading "+" when `sign` is set and the value is positive.
std::string fixed(double value, int decimals, bool sign = false);

class Targets {
public:
    void add(const std::string& target, bool met, const std::string& measured);
    bool allMet() const;
    std::string markdown() const;

private:
    Table table_{{"target", "met", "measured"}, "lll"};
    bool allMet_ = true;
};

}  // namespace quality
