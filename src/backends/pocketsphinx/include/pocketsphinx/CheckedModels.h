#pragma once

#include "pocketsphinx/PocketsphinxRecognizerService.h"

#include <string>

namespace quelt {

// The memory of checked models kept in a directory: a model counts as checked while each of its
// files has the path, size, inode and change time it had when it passed. Any write, replacement
// or permission change alters the change time, so a model is checked again after any of them.
//
// The directory is untrusted: anyone with write access may have put anything there. A verdict
// is believed only when it is a regular file, not a link, holding exactly the model's current
// state; every other case (a FIFO, a device, a huge file, an unreadable one) is a model to check
// again, decided without blocking and reading a few kilobytes at most.
bool modelCheckedBefore(const std::string& directory, const PocketsphinxModelFiles& files);
// Best effort: a directory that cannot be written only means checking again next time. Writes
// only a file of its own making, never through a name someone else made.
void rememberModelChecked(const std::string& directory, const PocketsphinxModelFiles& files);

} // namespace quelt
