// The edges every request passes before a handler sees it, and every message after: line
// framing however the bytes arrive, UTF-8 repair, the params readers, writing a message as one
// line, and locale identifiers taken from requests.
//
// The first byte picks how the rest is cut into reads; the rest is standard input.

#include "locales/Locale.h"
#include "protocol/Json.h"
#include "protocol/LineFraming.h"
#include "protocol/Params.h"
#include "protocol/TextLength.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace quelt;

void require(bool holds, const char* what, const std::string& detail = "") {
  if (holds)
    return;
  std::fprintf(stderr, "invariant violated: %s\n%s\n", what, detail.c_str());
  std::abort();
}

std::vector<std::string> split(std::string_view bytes, size_t step) {
  std::vector<std::string> lines;
  LineSplitter splitter([&lines](std::string line) { lines.push_back(std::move(line)); });
  while (!bytes.empty()) {
    size_t take = std::min(bytes.size(), step);
    splitter.feed(bytes.substr(0, take));
    bytes.remove_prefix(take);
  }
  splitter.finish();
  return lines;
}

// Whatever a message holds, it goes out as one line that reads back as the same value.
void checkWritten(const Json& message) {
  auto written = serializeMessage(message);
  if (!written)
    return;
  require(written->find('\n') == std::string::npos, "a message spans lines", *written);
  require(isValidUtf8(*written), "a message is not UTF-8", *written);
  Json back = Json::parse(*written, nullptr, false);
  require(!back.is_discarded(), "a written message does not parse", *written);
  require(back == message, "a message changed on its way out", *written);
}

// How deeply arrays and objects nest, counted without recursion.
size_t depth(const Json& root) {
  size_t deepest = 0;
  std::vector<std::pair<const Json*, size_t>> pending{{&root, 1}};
  while (!pending.empty()) {
    auto [value, level] = pending.back();
    pending.pop_back();
    if (!value->is_structured())
      continue;
    deepest = std::max(deepest, level);
    for (const auto& child : *value)
      pending.push_back({&child, level + 1});
  }
  return deepest;
}

void readEverything(const Params& params, int depth) {
  for (const auto& [key, value] : params.json().items()) {
    auto integer = params.integer(key);
    auto number = params.number(key);
    require(!integer || number, "an integer that is no number", key);
    if (integer && value.is_number_integer())
      require(value.is_number_unsigned() ? value.get<uint64_t>() == static_cast<uint64_t>(*integer)
                                         : value.get<int64_t>() == *integer,
              "an integer read as another", key);
    (void)params.string(key);
    (void)params.boolean(key);
    (void)params.stringArray(key);
    if (auto nested = params.object(key); nested && depth < 8)
      readEverything(*nested, depth + 1);
  }
}

// Whatever text a request names a locale with, it is parsed, tagged and compared; ICU decides
// what the tag is.
void checkLocale(const std::string& identifier) {
  Locale locale(identifier);
  require(sameLocale(locale, locale), "a locale differs from itself", identifier);
  require(!locale.bcp47().empty(), "a locale without a tag", identifier);
  (void)sameLocale(baseLanguageLocale(locale), Locale(locale.bcp47()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  size_t step = 1 + data[0] % 17;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

  auto lines = split(input, step);
  require(lines == split(input, input.size() + 1), "framing depends on how reads are cut");

  for (auto& line : lines) {
    require(line.find('\n') == std::string::npos, "a line holds a line feed", line);
    std::string repaired = replaceInvalidUtf8(line);
    require(isValidUtf8(repaired), "a repaired line is not UTF-8", repaired);
    require(replaceInvalidUtf8(repaired) == repaired, "repair is not stable", repaired);
    require(!isValidUtf8(line) || repaired == line, "repair changed a valid line", line);
    require(userPerceivedLength(repaired) <= repaired.size(), "more characters than bytes");

    checkWritten(Json(repaired));
    Json request = Json::parse(repaired, nullptr, false);
    if (request.is_discarded())
      continue;
    // The helper never writes back what a request holds; writing and comparing recurse, so
    // only what a reply could hold is checked.
    if (depth(request) <= 64)
      checkWritten(request);
    if (!request.is_object())
      continue;
    if (auto id = request.find("id"); id != request.end())
      (void)integerValue(*id);
    auto found = request.find("params");
    Params params(found == request.end() ? Json::object() : std::move(*found));
    readEverything(params, 0);
    if (auto locale = params.string("locale"); locale && locale->size() < 256)
      checkLocale(*locale);
  }
  if (input.size() < 256)
    checkLocale(std::string(input));
  return 0;
}
