#pragma once

#include "platform/PlatformError.h"

#include <sndfile.h>
#include <sys/types.h>

#include <string>

namespace quelt {

// Paths come from requests, so a descriptor is opened here and handed to libsndfile rather than
// letting it open the path itself.

// Throws PlatformError for a path with a NUL character, which the C library would cut short and
// so open some other file.
void refuseNulInPath(const std::string& path);

// Opens `path` with `flags` (O_CLOEXEC and O_NOCTTY added) and returns the descriptor. Throws
// PlatformError carrying errno when the system refuses, and refuses a NUL in the path, a
// directory, and the helper's own standard input, output or error: reading one of those would
// take the protocol's input, writing one would corrupt it. Those are looked for before opening
// too, since opening a stream's pipe may block and opening a log for writing truncates it.
int openAudioDescriptor(const std::string& path, int flags, mode_t mode);

// libsndfile's error on `file` (null: the last failed open). A system error becomes the errno
// behind it, saved by the caller right after the failing call, so that a full disk, a missing
// directory and a refused permission differ.
PlatformError sndfileFailure(SNDFILE* file, int savedErrno);

} // namespace quelt
