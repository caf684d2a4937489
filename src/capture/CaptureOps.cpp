#include "capture/CaptureOps.h"

#include "audio/FileSource.h"
#include "audio/MicrophoneSource.h"
#include "common/NativeError.h"
#include "locales/LocaleSupport.h"
#include "permissions/Authorization.h"
#include "protocol/Identity.h"
#include "protocol/OpHost.h"
#include "protocol/OpSteps.h"
#include "protocol/TextLength.h"

#include <algorithm>
#include <future>

namespace quelt {
namespace {

// What "capture.start" read from its params before going asynchronous.
struct StartRequest {
  int64_t id = 0;
  std::vector<std::string> contextual;
  double levelInterval = 0.05;
  bool punctuation = true;
  bool requestAuthorization = true;
  bool allowServer = false;
  std::string engine = "auto";
  std::optional<std::string> locale;
  std::string sourceKind = "microphone";
  std::optional<std::string> deviceUid;
  std::optional<std::string> path;
  bool realtime = false;
};

// What the asynchronous part decided.
struct StartPlan {
  Locale locale{"und"};
  std::optional<InputDeviceInfo> device;
  EngineKind engine = EngineKind::recognizer;
  bool onDevice = true;
  std::shared_ptr<SpeechRecognizer> recognizer;
};

HelperError notActive(int64_t id) {
  return HelperError(errors::sessionNotActive, "capture " + std::to_string(id) + " is not active",
                     {.nativeCode = id});
}

// The session a commit, stop or cancel names: registered and not yet ended.
std::shared_ptr<CaptureSessionState> session(const Params& params, CaptureRegistry& registry) {
  auto id = params.integer("capture");
  if (!id)
    throw HelperError::invalid("capture id required");
  auto found = registry.sessions.find(*id);
  if (found == registry.sessions.end() || found->second->isTerminal())
    throw notActive(*id);
  return found->second;
}

// Blocks the calling task until the permission is answered (prompting only when asked to).
std::string waitAuthorization(OpHost& host, const std::shared_ptr<Authorization>& authorization,
                              const std::string& kind, bool request) {
  bool microphone = kind == "microphone";
  if (!request)
    return microphone ? microphoneStatus(*authorization) : speechStatus(*authorization);
  auto answer = std::make_shared<std::promise<std::string>>();
  auto status = answer->get_future();
  auto done = [answer](std::string value) { answer->set_value(std::move(value)); };
  if (microphone)
    requestMicrophone(host, authorization, done);
  else
    requestSpeech(host, authorization, done);
  return status.get();
}

struct EngineChoice {
  EngineKind engine;
  bool onDevice;
};

EngineChoice chooseEngine(const std::string& requested, bool allowServer,
                          const LocaleSupport& support, SpeechRecognizer* recognizer,
                          const std::string& tag, bool analyzerExists) {
  bool analyzerUsable = support.analyzer == "installed" && analyzerExists;
  auto checked = [&](EngineChoice choice) {
    if (recognizer && !recognizer->isAvailable())
      throw HelperError(errors::recognizerUnavailable,
                        "SFSpeechRecognizer reports unavailable (Dictation/Siri may be disabled)",
                        {.locale = tag});
    return choice;
  };
  if (requested == "speech_analyzer" && analyzerUsable)
    return {EngineKind::analyzer, true};
  if (requested != "speech_analyzer") {
    if (requested != "speech_recognizer" && analyzerUsable)
      return {EngineKind::analyzer, true};
    if (support.recognizerOnDevice)
      return recognizer ? checked({EngineKind::recognizer, true})
                        : EngineChoice{EngineKind::recognizer, true};
    if (allowServer && recognizer)
      return checked({EngineKind::recognizer, false});
  }
  std::vector<std::string> reasons;
  if (support.analyzer == "installed")
    reasons.push_back("SpeechAnalyzer installed but not selectable");
  else if (support.analyzer == "downloadable")
    reasons.push_back("SpeechAnalyzer model not installed (install_locale_assets can download it)");
  else if (analyzerExists)
    reasons.push_back("SpeechAnalyzer does not support " + tag);
  else
    reasons.push_back("SpeechAnalyzer needs macOS 26");
  if (recognizer && !support.recognizerOnDevice)
    reasons.push_back("SFSpeechRecognizer has no on-device model for " + tag);
  else if (!recognizer)
    reasons.push_back("SFSpeechRecognizer does not support " + tag);
  std::string message;
  for (const auto& reason : reasons)
    message += (message.empty() ? "" : "; ") + reason;
  ErrorCode code =
      !recognizer && !support.analyzer ? errors::localeUnsupported : errors::onDeviceUnavailable;
  throw HelperError(code, message, {.locale = tag});
}

// Everything between the synchronous checks and opening the source; runs on the task executor
// and may wait for the user to answer a permission prompt.
StartPlan plan(OpHost& host, const CaptureServices& services, const StartRequest& request) {
  const RecognitionServices& recognition = services.recognition;
  StartPlan plan;
  auto analyzer = analyzerLocales(recognition);
  try {
    plan.locale = resolveLocale(recognition, request.locale, analyzer);
  } catch (...) {
    throw boundaryError(std::current_exception(), "resolve locale");
  }
  std::string tag = bcp47(plan.locale);

  if (request.sourceKind == "microphone") {
    auto devices = listInputDevices(*services.hardware);
    if (devices.empty())
      throw HelperError(errors::noInputDevice, "no audio input device");
    if (request.deviceUid && !request.deviceUid->empty()) {
      plan.device = findInputDevice(devices, *request.deviceUid);
      if (!plan.device)
        throw HelperError(errors::deviceNotFound, *request.deviceUid);
    } else {
      auto preferred = std::find_if(devices.begin(), devices.end(),
                                    [](const InputDeviceInfo& device) { return device.isDefault; });
      plan.device = preferred != devices.end() ? *preferred : devices.front();
    }
  } else if (request.sourceKind != "file") {
    throw HelperError::invalid("source.kind must be microphone or file");
  }

  if (request.sourceKind == "microphone") {
    std::string status =
        waitAuthorization(host, services.authorization, "microphone", request.requestAuthorization);
    if (status != "authorized")
      throw HelperError(errors::notAuthorizedMicrophone, "microphone " + status,
                        {.status = status});
  }
  std::string status =
      waitAuthorization(host, services.authorization, "speech", request.requestAuthorization);
  if (status != "authorized")
    throw HelperError(errors::notAuthorizedSpeech, "speech recognition " + status,
                      {.status = status});

  LocaleSupport support = localeSupport(recognition, plan.locale, analyzer);
  plan.recognizer = recognition.recognizer->makeRecognizer(tag);
  auto choice = chooseEngine(request.engine, request.allowServer, support, plan.recognizer.get(),
                             tag, speechAnalyzerAvailable(recognition.process->osVersion()));
  plan.engine = choice.engine;
  plan.onDevice = choice.onDevice;
  return plan;
}

std::shared_ptr<AudioSourceDriver> openSource(OpHost& host, const CaptureServices& services,
                                              const StartRequest& request, const StartPlan& plan) {
  if (request.sourceKind == "microphone")
    return MicrophoneSource::create(*services.audioInput, *plan.device, host.poster());
  if (!request.path || request.path->empty() || request.path->front() != '/')
    throw HelperError::invalid("file source needs an absolute path");
  return FileSource::create(*services.audio, *request.path,
                            request.realtime ? Pace::realtime : Pace::asRead, host.clock(),
                            host.poster());
}

StartRequest readStart(const Params& params, int64_t id) {
  StartRequest request;
  request.id = id;
  request.contextual =
      params.stringArray("contextual_strings").value_or(std::vector<std::string>{});
  double intervalMs = params.number("level_interval_ms").value_or(50.0);
  request.levelInterval = std::max(std::min(intervalMs / 1000.0, 5.0), 0.01);
  request.punctuation = params.boolean("punctuation").value_or(true);
  request.requestAuthorization = params.boolean("request_authorization").value_or(true);
  request.allowServer = params.string("recognition") == "allow_server";
  request.engine = params.string("engine").value_or("auto");
  request.locale = params.string("locale");
  Params source = params.object("source").value_or(Params());
  request.sourceKind = source.string("kind").value_or("microphone");
  request.deviceUid = source.string("device_uid");
  request.path = source.string("path");
  request.realtime = source.boolean("realtime").value_or(false);
  return request;
}

// Plans on the task pool (the permission prompt and the model check wait), opens the source on
// the main queue, starts it off the main queue and answers on it.
OpSteps startSession(std::shared_ptr<OpHost> host, std::shared_ptr<const CaptureServices> services,
                     std::weak_ptr<CaptureRegistry> weakRegistry, StartRequest request,
                     Reply done) {
  co_await onTask(*host);
  StartPlan chosen;
  std::optional<HelperError> failure;
  try {
    chosen = plan(*host, *services, request);
  } catch (...) {
    failure = boundaryError(std::current_exception(), "start capture");
  }
  co_await onMain(*host);
  if (failure) {
    done(*failure);
    co_return;
  }
  auto registry = weakRegistry.lock();
  if (!registry || host->shuttingDown())
    co_return;
  std::shared_ptr<AudioSourceDriver> source;
  try {
    source = openSource(*host, *services, request, chosen);
  } catch (...) {
    done(boundaryError(std::current_exception(), "open audio source"));
    co_return;
  }
  CaptureSessionState::Config config;
  config.id = request.id;
  config.locale = chosen.locale;
  config.engineKind = chosen.engine;
  config.onDevice = chosen.onDevice;
  config.punctuation = request.punctuation;
  config.contextual = request.contextual;
  config.levelInterval = request.levelInterval;
  config.recognizer = chosen.recognizer;
  config.source = source;
  config.device = chosen.device;
  config.audio = services->audio;
  if (speechAnalyzerAvailable(services->recognition.process->osVersion()))
    config.transcriber = services->recognition.transcriber;
  auto session = CaptureSessionState::create(host, std::move(config));
  int64_t id = request.id;
  // The start is answered once: by its own end, or, for a session cancelled while its source was
  // still opening, at once (the opening may never return).
  session->setOnTerminal([weakRegistry, id, weakSession = std::weak_ptr(session), done] {
    auto registry = weakRegistry.lock();
    auto session = weakSession.lock();
    // A newer session may have taken the id; only the one that ended leaves.
    if (registry && registry->sessions.count(id) && registry->sessions[id] == session)
      registry->remove(id);
    if (session && session->endedWhileStarting())
      done.answerIfFirst(session->notActive());
  });
  // Two starts with one id can both pass the check above; the later one takes the id, and the
  // session it displaces ends now rather than running on where nothing reaches it.
  if (auto displaced = registry->sessions.find(id); displaced != registry->sessions.end())
    displaced->second->cancel();
  registry->sessions[id] = session;
  registry.reset();
  Json result = {{"engine", engineKindName(chosen.engine)},
                 {"device", chosen.device ? deviceJSON(*chosen.device) : Json(nullptr)},
                 {"locale", bcp47(chosen.locale)},
                 {"on_device", chosen.onDevice}};

  // Opening a file can block without end (a named pipe with no writer).
  co_await (request.sourceKind == "file" ? onBlockingTask(*host) : onTask(*host));
  try {
    session->start();
  } catch (...) {
    failure = boundaryError(std::current_exception(), "start capture");
  }
  co_await onMain(*host);
  if (failure) {
    registry = weakRegistry.lock();
    if (registry && registry->sessions.count(id) && registry->sessions[id] == session)
      registry->remove(id);
    done.answerIfFirst(*failure);
  } else {
    done.answerIfFirst(result);
  }
}

void startCapture(std::shared_ptr<OpHost> host, std::shared_ptr<const CaptureServices> services,
                  std::shared_ptr<CaptureRegistry> registry, const Params& params, Reply done) {
  auto id = params.integer("capture");
  if (!id) {
    done(HelperError::invalid("capture id required"));
    return;
  }
  if (registry->sessions.count(*id)) {
    done(HelperError::invalid("capture " + std::to_string(*id) + " already exists"));
    return;
  }
  StartRequest request = readStart(params, *id);
  bool tooMany = request.contextual.size() > maxContextStrings;
  bool tooLong = std::any_of(request.contextual.begin(), request.contextual.end(),
                             [](const std::string& phrase) {
                               return userPerceivedLength(phrase) > maxContextStringChars;
                             });
  if (tooMany || tooLong) {
    done(HelperError::invalid("contextual_strings exceed " + std::to_string(maxContextStrings) +
                              " x " + std::to_string(maxContextStringChars)));
    return;
  }

  startSession(std::move(host), std::move(services), registry, std::move(request), std::move(done));
}

} // namespace

void registerCaptureOps(OpHost& host, CaptureServices services) {
  auto shared = std::make_shared<const CaptureServices>(std::move(services));
  auto registry = std::make_shared<CaptureRegistry>();
  host.onShutdown([registry] {
    auto snapshot = registry->sessions;
    for (auto& [id, session] : snapshot)
      session->cancel();
    registry->sessions.clear();
  });
  std::weak_ptr<OpHost> weakHost = host.weak_from_this();
  host.registerOp(ops::captureStart,
                  [weakHost, shared, registry](const Params& params, Reply done) {
                    if (auto alive = weakHost.lock())
                      startCapture(alive, shared, registry, params, std::move(done));
                  });
  host.registerOp(ops::captureCommit, [registry](const Params& params, Reply done) {
    session(params, *registry)->commit(std::move(done));
  });
  host.registerOp(ops::captureStop, [registry](const Params& params, Reply done) {
    session(params, *registry)->stop();
    done(Json::object());
  });
  host.registerOp(ops::captureCancel, [registry](const Params& params, Reply done) {
    session(params, *registry)->cancel();
    done(Json::object());
  });
}

} // namespace quelt
