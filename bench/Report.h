#pragma once

// The table the benchmarks end with, and the arithmetic behind its figures.

#include <optional>
#include <string>
#include <vector>

namespace quelt::bench {

struct Row {
  std::string what;
  std::string helper;
  std::string engine = "";     // the engine alone, or whatever the helper is set against
  std::string comparison = ""; // the helper against it: a ratio or a difference
  std::string target = "";
  std::optional<bool> met = std::nullopt;
};

class Report {
public:
  void add(Row row) { rows_.push_back(std::move(row)); }
  void note(std::string text) { notes_.push_back(std::move(text)); }
  // A Markdown table after a line describing the machine, then the notes.
  void print(int runs) const;

private:
  std::vector<Row> rows_;
  std::vector<std::string> notes_;
};

double median(std::vector<double> values);
// Nearest rank; `fraction` 0.99 for the 99th percentile.
double percentile(std::vector<double> values, double fraction);

std::string number(double value, int decimals);
std::string withThousands(double value);

} // namespace quelt::bench
