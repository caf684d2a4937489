#include "permissions/Authorization.h"

#include "platform/Authorization.h"
#include "protocol/OpHost.h"

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

std::string microphoneStatus(Authorization& authorization) {
  return microphoneStatusString(authorization.microphoneStatus());
}

std::string speechStatus(Authorization& authorization) {
  return speechStatusString(authorization.speechStatus());
}

namespace {

using StatusReader = std::string (*)(Authorization&);

// Whatever the prompt's callback says, the status read afterwards on the main queue is the
// answer.
std::function<void()> rereadOnMain(OpHost& host, std::shared_ptr<Authorization> authorization,
                                   StatusReader read, std::function<void(std::string)> done) {
  return [weak = host.weak_from_this(), authorization, read, done = std::move(done)] {
    if (auto alive = weak.lock())
      alive->post([authorization, read, done] { done(read(*authorization)); });
  };
}

} // namespace

void requestMicrophone(OpHost& host, std::shared_ptr<Authorization> authorization,
                       std::function<void(std::string)> done) {
  if (authorization->microphoneStatus() != notDetermined) {
    done(microphoneStatus(*authorization));
    return;
  }
  auto answer = rereadOnMain(host, authorization, microphoneStatus, std::move(done));
  authorization->requestMicrophoneAccess([answer](bool) { answer(); });
}

void requestSpeech(OpHost& host, std::shared_ptr<Authorization> authorization,
                   std::function<void(std::string)> done) {
  if (authorization->speechStatus() != notDetermined) {
    done(speechStatus(*authorization));
    return;
  }
  auto answer = rereadOnMain(host, authorization, speechStatus, std::move(done));
  authorization->requestSpeechAuthorization([answer](int64_t) { answer(); });
}

void registerAuthorizationOps(OpHost& host, std::shared_ptr<Authorization> authorization) {
  host.registerOp(ops::authorizationStatus, [authorization](const Params&, Reply done) {
    done(Json{{"microphone", microphoneStatus(*authorization)},
              {"speech", speechStatus(*authorization)}});
  });
  host.registerOp(
      ops::authorizationRequest, [&host, authorization](const Params& params, Reply done) {
        auto kind = params.string("kind");
        auto answer = [done](std::string status) { done(Json{{"status", std::move(status)}}); };
        if (kind == "microphone")
          requestMicrophone(host, authorization, answer);
        else if (kind == "speech")
          requestSpeech(host, authorization, answer);
        else
          done(HelperError::invalid("kind must be microphone or speech"));
      });
}

} // namespace quelt
