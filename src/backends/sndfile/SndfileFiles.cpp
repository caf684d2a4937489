#include "sndfile/SndfileFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quelt {
namespace {

// The standard stream that `file` is, or null.
const char* ownStream(const struct stat& file) {
  static const char* const names[] = {"standard input", "standard output", "standard error"};
  for (int stream = 0; stream < 3; ++stream) {
    struct stat status;
    if (::fstat(stream, &status) == 0 && status.st_dev == file.st_dev &&
        status.st_ino == file.st_ino)
      return names[stream];
  }
  return nullptr;
}

void refuseOwnStream(const struct stat& file) {
  if (const char* stream = ownStream(file))
    throw PlatformError("POSIX", EINVAL, std::string("it is the helper's own ") + stream);
}

} // namespace

void refuseNulInPath(const std::string& path) {
  if (path.find('\0') != std::string::npos)
    throw PlatformError("POSIX", EINVAL, "the path contains a NUL character");
}

int openAudioDescriptor(const std::string& path, int flags, mode_t mode) {
  refuseNulInPath(path);
  struct stat status;
  if (::stat(path.c_str(), &status) == 0)
    refuseOwnStream(status);
  int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY, mode);
  if (fd < 0)
    throw PlatformError::posix(errno);
  if (::fstat(fd, &status) != 0) {
    int error = errno;
    ::close(fd);
    throw PlatformError::posix(error);
  }
  try {
    // The path may have been replaced since it was looked at.
    refuseOwnStream(status);
    if (S_ISDIR(status.st_mode))
      throw PlatformError::posix(EISDIR);
  } catch (...) {
    ::close(fd);
    throw;
  }
  return fd;
}

PlatformError sndfileFailure(SNDFILE* file, int savedErrno) {
  int code = sf_error(file);
  if (code == SF_ERR_SYSTEM && savedErrno != 0)
    return PlatformError::posix(savedErrno);
  return PlatformError("libsndfile", code, sf_strerror(file));
}

} // namespace quelt
