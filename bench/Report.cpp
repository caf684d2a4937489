#include "Report.h"

#include "ProcessFigures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>

namespace quelt::bench {
namespace {

std::string outputOf(const std::string& command) {
  std::string out = runCommand({"sh", "-c", command}).output;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
    out.pop_back();
  return out;
}

} // namespace

void Report::print(int runs) const {
  std::cout << "\nMachine:" << outputOf("grep -m1 'model name' /proc/cpuinfo | cut -d: -f2-")
            << ", " << outputOf("nproc") << " cores, Linux " << outputOf("uname -r") << ", "
            << outputOf("c++ --version | head -n1") << ", "
            << outputOf("date -u '+%Y-%m-%d %H:%M UTC'") << "\n";
  std::cout << "Figures are medians of " << runs << " runs unless the notes say otherwise.\n\n";
  std::cout << "| measurement | helper | engine alone | helper vs engine | target | met |\n";
  std::cout << "|---|---:|---:|---:|---|---|\n";
  for (const auto& row : rows_)
    std::cout << "| " << row.what << " | " << row.helper << " | " << row.engine << " | "
              << row.comparison << " | " << row.target << " | "
              << (row.met ? (*row.met ? "yes" : "**no**") : "") << " |\n";
  std::cout << "\n";
  for (const auto& note : notes_)
    std::cout << "- " << note << "\n";
}

double median(std::vector<double> values) {
  if (values.empty())
    return NAN;
  std::sort(values.begin(), values.end());
  size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty())
    return NAN;
  std::sort(values.begin(), values.end());
  auto rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size())));
  return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

std::string number(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string withThousands(double value) {
  std::string digits = std::to_string(std::llround(std::fabs(value)));
  std::string grouped = value < 0 ? "-" : "";
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0)
      grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

} // namespace quelt::bench
