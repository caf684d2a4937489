#pragma once

#include "platform/ProcessInfo.h"

#include <string>

namespace quelt {

class Server;

// "hello" and "shutdown": the ops that belong to the process itself.
void registerProcessOps(Server& server);

// "15.1.0": major, minor and patch, the patch always present.
std::string osVersionString(const OsVersion& version);

} // namespace quelt
