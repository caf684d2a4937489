#pragma once

#include <functional>
#include <string>

namespace quelt {

class Server;
struct Platform;

// The four status strings: "not_determined", "restricted", "denied", "authorized".
std::string microphoneStatus(const Platform& platform);
std::string speechStatus(const Platform& platform);

// Prompts only for an undecided permission; the status read afterwards, on the main queue, is
// the answer. A decided one answers at once on the calling thread.
void requestMicrophone(Server& server, std::function<void(std::string status)> done);
void requestSpeech(Server& server, std::function<void(std::string status)> done);

// "authorization.status", "authorization.request"
void registerAuthorizationOps(Server& server);

} // namespace quelt
