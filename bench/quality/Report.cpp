// Report.cpp - see Report.h.
#include "Report.h"

#include <cmath>
#include <cstdio>
#include <utility>

namespace quality {

Table::Table(std::vector<std::string> header, std::string align) : header_(std::move(header)), align_(std::move(align)) {}

void Table::add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }

std::string Table::markdown() const {
    std::string out = "|";
    for (const std::string& h : header_) out += " " + h + " |";
    out += "\n|";
    for (std::size_t c = 0; c < header_.size(); ++c) out += c < align_.size() && align_[c] == 'r' ? "---:|" : "---|";
    out += "\n";
    for (const auto& row : rows_) {
        out += "|";
        for (const std::string& cell : row) out += " " + cell + " |";
        out += "\n";
    }
    return out;
}

std::string fixed(double value, int decimals, bool sign) {
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    if (std::isnan(value)) return "nan";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, sign ? "%+.*f" : "%.*f", decimals, value);
    return buffer;
}

void Targets::add(const std::string& target, bool met, const std::string& measured) {
    table_.add({target, met ? "yes" : "**no**", measured});
    allMet_ = allMet_ && met;
}

bool Targets::allMet() const { return allMet_; }

std::string Targets::markdown() const { return table_.markdown(); }

}  // namespace quality
