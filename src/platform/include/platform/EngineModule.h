#pragma once

#include "platform/AudioInput.h"
#include "platform/AudioServices.h"
#include "platform/HardwareProperties.h"
#include "platform/SpeechRecognizerService.h"
#include "platform/SynthesizerService.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace quelt {

// The services backed by the speech and audio engines live in a module of their own, which the
// helper loads the first time one of them is asked for. Their libraries (PulseAudio,
// pocketsphinx, espeak-ng, libsndfile, libsoxr and the forty-odd they bring in) take longer to
// load than the helper takes to answer "hello", and an idle helper has no use for them.
struct EngineServices {
  std::shared_ptr<HardwareProperties> hardware;
  std::shared_ptr<AudioServices> audio;
  std::shared_ptr<AudioInputService> audioInput;
  std::shared_ptr<SpeechRecognizerService> recognizer;
  std::shared_ptr<SynthesizerService> synthesizer;
};

// The module's file name; it sits beside the helper's binary.
inline constexpr const char* engineModuleFile = "quelt-voice-helper-engines.so";

// The module's two entry points, by name and type. The module and the helper come from one
// build, so C++ types cross between them as they are.
inline constexpr const char* makeEngineServicesSymbol = "quelt_make_engine_services";
using MakeEngineServices = void(EngineServices& services,
                                std::function<void(const std::string&)> log);
// Runs a worker process's job (a recognition model's check, synthesis) and ends the process
// when the arguments ask for one; otherwise returns.
// The first arguments that make the helper's binary one of its workers.
inline constexpr std::string_view pocketsphinxModelCheck = "--check-pocketsphinx-model";
inline constexpr std::string_view synthesisWorkerMode = "--synthesis-worker";
inline constexpr const char* runWorkerSymbol = "quelt_run_worker_if_asked";
using RunWorkerIfAsked = void(int argc, char** argv);

} // namespace quelt
