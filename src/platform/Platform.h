#pragma once

#include "platform/ProcessInfo.h"

#include <memory>

namespace quelt {

// Every operating-system service the core calls, handed to it as one value. The shipped binary
// fills it with the Linux implementations, tests with scriptable fakes.
struct Platform {
  std::shared_ptr<ProcessInfo> process;
};

} // namespace quelt
