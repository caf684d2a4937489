#include "protocol/TextLength.h"

#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include <memory>

namespace quelt {

size_t userPerceivedLength(std::string_view text) {
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> clusters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status))
    return static_cast<size_t>(unicode.countChar32());
  clusters->setText(unicode);
  size_t count = 0;
  for (int32_t at = clusters->next(); at != icu::BreakIterator::DONE; at = clusters->next())
    ++count;
  return count;
}

} // namespace quelt
