#include "speech/SpeechOps.h"

#include "server/Server.h"
#include "speech/FileRenderer.h"
#include "speech/SpeechController.h"

#include <cerrno>
#include <filesystem>

namespace quelt {
namespace {

SpeechParams speechParams(Server& server, const Params& params, const std::string& context) {
  try {
    return SpeechParams::fromRequest(params, *server.platform().synthesizer);
  } catch (...) {
    throw boundaryError(std::current_exception(), context);
  }
}

HelperError notSpeaking(const std::string& message, const Params& params) {
  return HelperError("session_not_active", message, std::nullopt,
                     params.integer("utterance").value_or(0));
}

} // namespace

void registerSpeechOps(Server& server) {
  auto controller = SpeechController::create(server.shared_from_this());
  server.onShutdown([controller] { controller->shutdown(); });

  server.registerOp("speech.speak", [&server, controller](const Params& params, Completion done) {
    auto id = params.integer("utterance");
    if (!id)
      throw HelperError::invalid("utterance id required");
    SpeechParams speech = speechParams(server, params, "speak");
    controller->speak(*id, speech, params.boolean("interrupt").value_or(false));
    done(Json{{"voice", speech.voiceIdentifier()}});
  });

  server.registerOp("speech.stop", [controller](const Params& params, Completion done) {
    auto id = params.integer("utterance");
    if (!id) {
      controller->stopAll(boundary(params));
      done(Json::object());
      return;
    }
    if (!controller->stop(*id, boundary(params)))
      throw HelperError("session_not_active",
                        "utterance " + std::to_string(*id) + " is not queued or speaking",
                        std::nullopt, *id);
    done(Json::object());
  });

  server.registerOp("speech.pause", [controller](const Params& params, Completion done) {
    if (!controller->pause(params.integer("utterance"), boundary(params)))
      throw notSpeaking("utterance is not speaking", params);
    done(Json::object());
  });

  server.registerOp("speech.continue", [controller](const Params& params, Completion done) {
    if (!controller->resume(params.integer("utterance")))
      throw notSpeaking("utterance is not paused", params);
    done(Json::object());
  });

  server.registerOp("speech.synthesize_file", [&server](const Params& params, Completion done) {
    auto path = params.string("path");
    if (!path || path->empty() || path->front() != '/')
      throw HelperError::invalid("path must be absolute");
    std::string format = params.string("format").value_or("wav");
    if (format != "wav" && format != "caf")
      throw HelperError::invalid("format must be wav or caf");
    SpeechParams speech = speechParams(server, params, "synthesize_file");
    // The system would read the path only up to the NUL and replace some other file.
    if (path->find('\0') != std::string::npos)
      throw HelperError("io",
                        "create " + std::filesystem::path(*path).filename().string() +
                            ": the path contains a NUL character",
                        *path, EINVAL);
    std::error_code ignored; // most often there is no file to replace
    if (!std::filesystem::is_directory(*path, ignored))
      std::filesystem::remove(*path, ignored);
    FileRenderer::start(server, speech, *path, format == "wav", std::move(done));
  });
}

} // namespace quelt
