#pragma once

#include "platform/Authorization.h"

#include <functional>
#include <memory>
#include <string>

namespace quelt {

class OpHost;

// The four status strings: "not_determined", "restricted", "denied", "authorized".
std::string microphoneStatus(Authorization& authorization);
std::string speechStatus(Authorization& authorization);

// Prompts only for an undecided permission; the status read afterwards, on the main queue, is
// the answer. A decided one answers at once on the calling thread.
void requestMicrophone(OpHost& host, std::shared_ptr<Authorization> authorization,
                       std::function<void(std::string status)> done);
void requestSpeech(OpHost& host, std::shared_ptr<Authorization> authorization,
                   std::function<void(std::string status)> done);

// "authorization.status", "authorization.request"
void registerAuthorizationOps(OpHost& host, std::shared_ptr<Authorization> authorization);

} // namespace quelt
