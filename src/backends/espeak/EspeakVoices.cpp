#include "EspeakVoices.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace quelt {
namespace {

constexpr const char* identifierPrefix = "espeak-ng:";

} // namespace

uint64_t voiceDataSignature(const std::string& data) {
  if (data.empty())
    return 0;
  uint64_t hash = 1469598103934665603ull;
  auto mix = [&](const std::string& path) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0)
      return;
    for (auto value : {static_cast<int64_t>(status.st_ino), int64_t{status.st_mtim.tv_sec},
                       int64_t{status.st_mtim.tv_nsec}, int64_t{status.st_ctim.tv_sec},
                       int64_t{status.st_ctim.tv_nsec}})
      hash = (hash ^ static_cast<uint64_t>(value)) * 1099511628211ull;
  };
  mix(data);
  namespace fs = std::filesystem;
  for (const char* part : {"/voices", "/lang"}) {
    mix(data + part);
    std::error_code error;
    for (fs::recursive_directory_iterator it(data + part, error), end; !error && it != end;
         it.increment(error))
      if (it->is_directory(error))
        mix(it->path().string());
  }
  return hash;
}

Catalogue catalogueFrom(const Json& hello) {
  Catalogue catalogue;
  catalogue.rate = hello.value("rate", 0);
  catalogue.data = hello.value("data", "");
  const Json& voices = hello.contains("voices") ? hello["voices"] : Json::array();
  for (const Json& entry : voices) {
    if (!entry.is_object())
      continue;
    EspeakVoice voice;
    voice.file = entry.value("file", "");
    voice.language = entry.value("language", "");
    voice.priority = entry.value("priority", 0);
    voice.info.identifier = identifierPrefix + voice.file + ":" + voice.language;
    voice.info.name = entry.value("name", "");
    voice.info.language = entry.value("tag", voice.language);
    voice.info.gender = entry.value("gender", 0);
    bool seen = std::any_of(catalogue.voices.begin(), catalogue.voices.end(), [&](const auto& v) {
      return v.info.identifier == voice.info.identifier;
    });
    if (!seen && !voice.file.empty())
      catalogue.voices.push_back(std::move(voice));
  }
  return catalogue;
}

} // namespace quelt
