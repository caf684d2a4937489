#pragma once

#include "platform/ProcessInfo.h"

#include <functional>
#include <memory>
#include <string>

namespace quelt {

class OpHost;

// "hello" and "shutdown": the ops that belong to the process itself.
void registerProcessOps(OpHost& host, std::shared_ptr<ProcessInfo> process);

// A parent watch for the server's options: `gone` comes when the parent ends, or at once when
// the helper has no parent of its own (it was handed to init).
std::shared_ptr<void> watchParent(ProcessInfo& process, std::function<void()> gone);

// "15.1.0": major, minor and patch, the patch always present.
std::string osVersionString(const OsVersion& version);

} // namespace quelt
