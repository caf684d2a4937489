#include "VoiceCatalogue.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace quelt {

uint64_t watchedSignature(const Json& watch) {
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
  namespace fs = std::filesystem;
  for (const Json& directory : watch) {
    if (!directory.is_object() || !directory.value("path", Json()).is_string())
      continue;
    std::string path = directory["path"].get<std::string>();
    mix(path);
    if (!directory.value("tree", false))
      continue;
    std::error_code error;
    for (fs::recursive_directory_iterator it(path, error), end; !error && it != end;
         it.increment(error))
      if (it->is_directory(error))
        mix(it->path().string());
  }
  return hash;
}

Catalogue catalogueFrom(const Json& hello) {
  Catalogue catalogue;
  const Json& engines = hello.contains("engines") ? hello["engines"] : Json::array();
  for (const Json& engine : engines) {
    if (!engine.is_object() || !engine.value("engine", Json()).is_string())
      continue;
    std::string name = engine["engine"].get<std::string>();
    catalogue.engines.push_back(name);
    if (engine.contains("watch") && engine["watch"].is_array())
      for (const Json& directory : engine["watch"])
        catalogue.watch.push_back(directory);
    const Json& voices = engine.contains("voices") ? engine["voices"] : Json::array();
    for (const Json& entry : voices) {
      if (!entry.is_object())
        continue;
      CatalogueVoice voice;
      voice.engine = name;
      voice.key = entry.value("key", "");
      voice.priority = entry.value("priority", 0);
      voice.info.identifier = name + ":" + voice.key;
      voice.info.name = entry.value("name", "");
      voice.info.language = entry.value("language", "");
      voice.info.gender = entry.value("gender", 0);
      voice.info.quality = entry.value("quality", 1);
      bool seen = std::any_of(catalogue.voices.begin(), catalogue.voices.end(), [&](const auto& v) {
        return v.info.identifier == voice.info.identifier;
      });
      if (!seen && !voice.key.empty())
        catalogue.voices.push_back(std::move(voice));
    }
  }
  return catalogue;
}

} // namespace quelt
