#pragma once

#include "engines/SegmentEngine.h"

#include <sstream>
#include <string>
#include <vector>

namespace quelt::testing {

// Writes down what a segment reports, one line per callback, e.g. "partial 0 hello",
// "final 0 hello 0.75", "final 0 hello -", "failure 0 native recognition: boom".
struct SegmentRecorder {
  std::vector<std::string> calls;

  SegmentCallbacks callbacks() {
    return {[this](int64_t segment, const std::string& text) {
              calls.push_back("partial " + std::to_string(segment) + " " + text);
            },
            [this](int64_t segment, const std::string& text, std::optional<double> confidence) {
              std::ostringstream line;
              line << "final " << segment << " " << text << " ";
              if (confidence)
                line << *confidence;
              else
                line << "-";
              calls.push_back(line.str());
            },
            [this](int64_t segment, const HelperError& error) {
              calls.push_back("failure " + std::to_string(segment) + " " + error.code() + " " +
                              error.message());
              errors.push_back(error);
            }};
  }

  std::vector<HelperError> errors;
};

} // namespace quelt::testing
