#pragma once

namespace quelt {

class Server;

// Registers every op, in the fixed order the helper starts up in.
void registerOps(Server& server);

} // namespace quelt
