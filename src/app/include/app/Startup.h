#pragma once

#include "platform/Platform.h"
#include "protocol/Server.h"

#include <memory>

namespace quelt {

// What the helper's server takes from the platform: its parent watch, the name of its writer
// and how a platform failure that escaped an op is reported.
ServerOptions helperServerOptions(const Platform& platform, ServerOptions options);

// Registers every op, in the fixed order the helper starts up in, each with the services it
// uses.
void registerOps(OpHost& host, const Platform& platform);

// The helper: a server with both of the above.
std::shared_ptr<Server> makeHelper(const Platform& platform, ServerOptions options);

} // namespace quelt
