#pragma once

#include <algorithm>
#include <cctype>
#include <sstream>
#include <string>
#include <vector>

namespace quelt::testing {

// The words, in lower case and without the sentence marks the recognizer adds.
inline std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string word; in >> word;) {
    std::erase_if(word, [](char c) { return c == '.' || c == '?' || c == ','; });
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    out.push_back(word);
  }
  return out;
}

// The share of expected words the recognizer got, in order (longest common subsequence).
inline double wordAccuracy(const std::string& heard, const std::string& expected) {
  auto a = words(heard), b = words(expected);
  std::vector<std::vector<size_t>> common(a.size() + 1, std::vector<size_t>(b.size() + 1, 0));
  for (size_t i = 1; i <= a.size(); ++i)
    for (size_t j = 1; j <= b.size(); ++j)
      common[i][j] = a[i - 1] == b[j - 1] ? common[i - 1][j - 1] + 1
                                          : std::max(common[i - 1][j], common[i][j - 1]);
  return b.empty() ? 0 : static_cast<double>(common[a.size()][b.size()]) / b.size();
}

} // namespace quelt::testing
