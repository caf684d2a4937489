#pragma once

#include <unicode/locid.h>

#include <optional>
#include <string>
#include <string_view>

namespace quelt {

// Language tags, through ICU, for everything that names a language.

// ICU's BCP 47 tag for `locale`; "und" when it has none.
std::string languageTag(const icu::Locale& locale);

// `text` read as a BCP 47 tag, in its canonical spelling ("en-us" and "EN-US" are "en-US");
// nothing when it is not one.
std::optional<std::string> canonicalTag(std::string_view text);

// For comparing tags as people write them: underscores as hyphens, ASCII letters in lower case
// ("en_US" is "en-us").
std::string foldedTag(std::string tag);

} // namespace quelt
