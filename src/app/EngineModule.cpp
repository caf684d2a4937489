// The loadable side of the engine module (see EngineModule.h).

#include "platform/EngineModule.h"

#include "espeak/EspeakEngine.h"
#include "espeak/EspeakPronouncer.h"
#include "flite/FliteEngine.h"
#include "platform/ProcessIdentity.h"
#include "pocketsphinx/PocketsphinxRecognizerService.h"
#include "pulse/PulseAudioInput.h"
#include "pulse/PulseAudioOutput.h"
#include "pulse/PulseHardwareProperties.h"
#include "pulse/PulseLink.h"
#include "sndfile/SndfileAudioServices.h"
#include "soxr/SoxrConverter.h"
#include "synthesis/SynthesisWorker.h"
#include "synthesis/WorkerSynthesizerService.h"

#include <cstdlib>

namespace {

// Where checked recognition models are remembered between runs: the user's cache.
std::string checkedModelsDirectory() {
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache == '/')
    return std::string(cache) + "/quelt-voice-helper";
  if (const char* home = std::getenv("HOME"); home && *home == '/')
    return std::string(home) + "/.cache/quelt-voice-helper";
  return "";
}

} // namespace

extern "C" __attribute__((visibility("default"))) void
quelt_make_engine_services(quelt::EngineServices& services,
                           std::function<void(const std::string&)> log) {
  using namespace quelt;
  PulseLink::setLog(log);
  services.hardware = std::make_shared<PulseHardwareProperties>();
  services.audio = std::make_shared<SndfileAudioServices>(makeSoxrConverter);
  services.audioInput = std::make_shared<PulseAudioInputService>();
  // The helper checks recognition models by running itself (see main).
  services.recognizer = std::make_shared<PocketsphinxRecognizerService>(
      services.audio, "/usr/share/pocketsphinx/model", "/proc/self/exe", checkedModelsDirectory(),
      log, makeEspeakPronouncer());
  // Synthesis, too, runs in processes of the helper's binary.
  services.synthesizer = std::make_shared<WorkerSynthesizerService>(
      "/proc/self/exe",
      [] { return std::make_unique<PulseAudioOutput>(std::string(identity::bundleName)); },
      std::move(log));
}

extern "C" __attribute__((visibility("default"))) void quelt_run_worker_if_asked(int argc,
                                                                                 char** argv) {
  quelt::checkPocketsphinxModelIfAsked(argc, argv);
  // espeak-ng first: the engine for a voice from elsewhere, and the default one.
  quelt::runSynthesisWorkerIfAsked(argc, argv, {quelt::makeEspeakEngine, quelt::makeFliteEngine});
}

// Both sides must agree on the entry points' types.
static_assert(std::is_same_v<decltype(quelt_make_engine_services), quelt::MakeEngineServices>);
static_assert(std::is_same_v<decltype(quelt_run_worker_if_asked), quelt::RunWorkerIfAsked>);
