#include "permissions/Authorization.h"

#include "platform/Authorization.h"
#include "protocol/Server.h"

namespace quelt {
namespace {

constexpr int64_t notDetermined = 0;

std::string microphoneStatusString(int64_t raw) {
  switch (raw) {
  case 0:
    return "not_determined";
  case 1:
    return "restricted";
  case 3:
    return "authorized";
  default:
    return "denied";
  }
}

std::string speechStatusString(int64_t raw) {
  switch (raw) {
  case 0:
    return "not_determined";
  case 2:
    return "restricted";
  case 3:
    return "authorized";
  default:
    return "denied";
  }
}

} // namespace

std::string microphoneStatus(const Platform& platform) {
  return microphoneStatusString(platform.authorization->microphoneStatus());
}

std::string speechStatus(const Platform& platform) {
  return speechStatusString(platform.authorization->speechStatus());
}

namespace {

using StatusReader = std::string (*)(const Platform&);

// Whatever the prompt's callback says, the status read afterwards on the main queue is the
// answer.
std::function<void()> rereadOnMain(Server& server, StatusReader read,
                                   std::function<void(std::string)> done) {
  return [weak = server.weak_from_this(), read, done = std::move(done)] {
    if (auto alive = weak.lock())
      alive->post([weak, read, done] {
        if (auto server = weak.lock())
          done(read(server->platform()));
      });
  };
}

} // namespace

void requestMicrophone(Server& server, std::function<void(std::string)> done) {
  Authorization& authorization = *server.platform().authorization;
  if (authorization.microphoneStatus() != notDetermined) {
    done(microphoneStatus(server.platform()));
    return;
  }
  auto answer = rereadOnMain(server, microphoneStatus, std::move(done));
  authorization.requestMicrophoneAccess([answer](bool) { answer(); });
}

void requestSpeech(Server& server, std::function<void(std::string)> done) {
  Authorization& authorization = *server.platform().authorization;
  if (authorization.speechStatus() != notDetermined) {
    done(speechStatus(server.platform()));
    return;
  }
  auto answer = rereadOnMain(server, speechStatus, std::move(done));
  authorization.requestSpeechAuthorization([answer](int64_t) { answer(); });
}

void registerAuthorizationOps(Server& server) {
  server.registerOp("authorization.status", [&server](const Params&, Completion done) {
    done(Json{{"microphone", microphoneStatus(server.platform())},
              {"speech", speechStatus(server.platform())}});
  });
  server.registerOp("authorization.request", [&server](const Params& params, Completion done) {
    auto kind = params.string("kind");
    auto answer = [done](std::string status) { done(Json{{"status", std::move(status)}}); };
    if (kind == "microphone")
      requestMicrophone(server, answer);
    else if (kind == "speech")
      requestSpeech(server, answer);
    else
      done(HelperError::invalid("kind must be microphone or speech"));
  });
}

} // namespace quelt
