#include "PocketsphinxModels.h"

#include "platform/LanguageTag.h"

#include <filesystem>
#include <system_error>

namespace quelt {
namespace {

namespace fs = std::filesystem;

// A model directory's name as a tag, as written when it is none.
std::string tagOf(const std::string& name) { return canonicalTag(name).value_or(name); }

// Tags in their canonical spelling compare exactly ("en-us" and "EN-US" are "en-US").
bool sameTag(const std::string& a, const std::string& b) { return tagOf(a) == tagOf(b); }

} // namespace

std::vector<PocketsphinxModelFiles> findPocketsphinxModels(const std::string& root) {
  std::vector<PocketsphinxModelFiles> models;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(root, error)) {
    if (!entry.is_directory(error))
      continue;
    std::string tag = entry.path().filename().string();
    PocketsphinxModelFiles files;
    files.locale = tagOf(tag);
    files.acousticModel = (entry.path() / tag).string();
    files.languageModel = (entry.path() / (tag + ".lm.bin")).string();
    for (const auto& file : fs::directory_iterator(entry.path(), error))
      if (file.path().extension() == ".dict")
        files.dictionary = file.path().string();
    if (fs::exists(fs::path(files.acousticModel) / "mdef", error) &&
        fs::exists(files.languageModel, error) && !files.dictionary.empty())
      models.push_back(std::move(files));
  }
  return models;
}

std::optional<PocketsphinxModelFiles> findPocketsphinxModel(const std::string& root,
                                                            const std::string& locale) {
  for (auto& model : findPocketsphinxModels(root))
    if (sameTag(model.locale, locale))
      return std::move(model);
  return std::nullopt;
}

} // namespace quelt
