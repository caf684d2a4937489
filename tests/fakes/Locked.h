#pragma once

#include <mutex>

namespace quelt::fakes {

// A copy of what a fake shares with the platform's threads, taken under its lock so the caller
// can use it (call it, even) without holding the lock.
template <typename T> T lockedCopy(std::mutex& mutex, const T& value) {
  std::lock_guard lock(mutex);
  return value;
}

} // namespace quelt::fakes
