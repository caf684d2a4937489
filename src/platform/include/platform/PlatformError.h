#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace quelt {

// An error reported by an operating-system service or library behind the platform seam.
// The domain names the service ("PulseAudio", "libsndfile", "POSIX", ...), the code is that
// service's own number and the description its own text, so a parent can tell what failed.
class PlatformError : public std::runtime_error {
public:
  PlatformError(std::string domain, int64_t code, std::string description)
      : std::runtime_error(description), domain_(std::move(domain)), code_(code),
        description_(std::move(description)) {}

  const std::string& domain() const { return domain_; }
  int64_t code() const { return code_; }
  const std::string& description() const { return description_; }

  // errno of a failed POSIX call, described by strerror.
  static PlatformError posix(int errnoValue);

private:
  std::string domain_;
  int64_t code_;
  std::string description_;
};

} // namespace quelt
