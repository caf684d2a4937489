#include "PocketsphinxModels.h"

#include <unicode/locid.h>

#include <filesystem>
#include <system_error>

namespace quelt {
namespace {

namespace fs = std::filesystem;

std::string canonicalTag(const std::string& name) {
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale locale = icu::Locale::forLanguageTag(name, status);
  if (U_FAILURE(status) || locale.isBogus())
    return name;
  std::string tag = locale.toLanguageTag<std::string>(status);
  return U_FAILURE(status) ? name : tag;
}

// Tags in their canonical spelling compare exactly ("en-us" and "EN-US" are "en-US").
bool sameTag(const std::string& a, const std::string& b) {
  return canonicalTag(a) == canonicalTag(b);
}

} // namespace

std::vector<PocketsphinxModelFiles> findPocketsphinxModels(const std::string& root) {
  std::vector<PocketsphinxModelFiles> models;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(root, error)) {
    if (!entry.is_directory(error))
      continue;
    std::string tag = entry.path().filename().string();
    PocketsphinxModelFiles files;
    files.locale = canonicalTag(tag);
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
