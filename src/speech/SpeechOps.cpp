#include "speech/SpeechOps.h"

#include "common/NativeError.h"
#include "protocol/OpHost.h"
#include "speech/FileRenderer.h"
#include "speech/SpeechController.h"

#include <cerrno>
#include <filesystem>
#include <sys/stat.h>

namespace quelt {
namespace {

SpeechParams speechParams(SynthesizerService& synthesizer, const Params& params,
                          const std::string& context) {
  try {
    return SpeechParams::fromRequest(params, synthesizer);
  } catch (...) {
    throw boundaryError(std::current_exception(), context);
  }
}

HelperError notSpeaking(const std::string& message, const Params& params) {
  return HelperError(errors::sessionNotActive, message,
                     {.nativeCode = params.integer("utterance").value_or(0)});
}

} // namespace

void registerSpeechOps(OpHost& host, SpeechServices services) {
  auto controller = SpeechController::create(host.shared_from_this(), *services.synthesizer);
  host.onShutdown([controller] { controller->shutdown(); });
  // A render still under way leaves nothing behind.
  host.onShutdown([] {
    auto renders = FileRenderer::active();
    for (auto& render : renders)
      render->abandon();
  });

  host.registerOp(ops::speechSpeak, [services, controller](const Params& params, Reply done) {
    auto id = params.integer("utterance");
    if (!id)
      throw HelperError::invalid("utterance id required");
    SpeechParams speech = speechParams(*services.synthesizer, params, "speak");
    controller->speak(*id, speech,
                      params.boolean("interrupt").value_or(false) ? Queueing::replaceAll
                                                                  : Queueing::append);
    done(Json{{"voice", speech.voiceIdentifier()}});
  });

  host.registerOp(ops::speechStop, [controller](const Params& params, Reply done) {
    auto id = params.integer("utterance");
    if (!id) {
      controller->stopAll(boundary(params));
      done(Json::object());
      return;
    }
    if (!controller->stop(*id, boundary(params)))
      throw HelperError(errors::sessionNotActive,
                        "utterance " + std::to_string(*id) + " is not queued or speaking",
                        {.nativeCode = *id});
    done(Json::object());
  });

  host.registerOp(ops::speechPause, [controller](const Params& params, Reply done) {
    if (!controller->pause(params.integer("utterance"), boundary(params)))
      throw notSpeaking("utterance is not speaking", params);
    done(Json::object());
  });

  host.registerOp(ops::speechContinue, [controller](const Params& params, Reply done) {
    if (!controller->resume(params.integer("utterance")))
      throw notSpeaking("utterance is not paused", params);
    done(Json::object());
  });

  host.registerOp(ops::speechSynthesizeFile, [&host, services](const Params& params, Reply done) {
    auto path = params.string("path");
    if (!path || path->empty() || path->front() != '/')
      throw HelperError::invalid("path must be absolute");
    std::string format = params.string("format").value_or("wav");
    if (format != "wav" && format != "caf")
      throw HelperError::invalid("format must be wav or caf");
    SpeechParams speech = speechParams(*services.synthesizer, params, "synthesize_file");
    // The system would read the path only up to the NUL and replace some other file.
    if (path->find('\0') != std::string::npos)
      throw HelperError(errors::io,
                        "create " + FileRenderer::fileNameOf(*path) +
                            ": the path contains a NUL character",
                        {.domain = *path, .nativeCode = EINVAL});
    // A render replaces a regular file only (and only once it is complete): never a directory,
    // a device, a pipe or a link.
    struct stat existing;
    if (::lstat(path->c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
      bool directory = S_ISDIR(existing.st_mode);
      throw HelperError(
          errors::io,
          "create " + FileRenderer::fileNameOf(*path) + ": " +
              (directory ? "the path is a directory" : "the path is not a regular file"),
          {.domain = *path, .nativeCode = directory ? EISDIR : EEXIST});
    }
    FileRenderer::start(host, services, speech, *path,
                        format == "wav" ? RenderEncoding::int16 : RenderEncoding::asSynthesized,
                        std::move(done));
  });
}

} // namespace quelt
