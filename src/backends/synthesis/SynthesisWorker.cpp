// The worker side of synthesis: the engines in a process of their own (see SynthesisWorker.h).

#include "synthesis/SynthesisWorker.h"

#include "platform/EngineModule.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <csignal>
#include <iostream>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>

namespace quelt {
namespace {

using Json = nlohmann::json;

// The helper reads frames until the end of a job; a helper that has gone has nobody to read.
void writeAll(const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t written = ::write(STDOUT_FILENO, bytes, size);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      ::_exit(0);
    bytes += written;
    size -= static_cast<size_t>(written);
  }
}

void sendFrame(WorkerFrame type, const void* payload, size_t size) {
  char header[workerFrameHeader];
  header[0] = static_cast<char>(type);
  auto length = static_cast<uint32_t>(size);
  for (int i = 0; i < 4; ++i)
    header[1 + i] = static_cast<char>((length >> (8 * i)) & 0xff);
  writeAll(header, sizeof(header));
  if (size > 0)
    writeAll(payload, size);
}

class FrameOutput : public SynthesisOutput {
public:
  void format(int64_t sampleRate) override {
    sendFrame(WorkerFrame::format, &sampleRate, sizeof(sampleRate));
  }
  void audio(std::span<const int16_t> samples) override {
    if (!samples.empty())
      sendFrame(WorkerFrame::audio, samples.data(), samples.size_bytes());
  }
  void word(int64_t sample, int64_t location, int64_t length) override {
    int64_t word[3] = {sample, location, length};
    sendFrame(WorkerFrame::word, word, sizeof(word));
  }
};

Json describe(SynthesisEngine& engine) {
  EngineOffer offer = engine.offer();
  Json voices = Json::array();
  for (const auto& voice : offer.voices)
    voices.push_back({{"key", voice.key},
                      {"name", voice.name},
                      {"language", voice.language},
                      {"gender", voice.gender},
                      {"quality", voice.quality},
                      {"priority", voice.priority}});
  Json watch = Json::array();
  for (const auto& directory : offer.watch)
    watch.push_back(
        {{"path", directory.path}, {"tree", directory.depth == WatchedDirectory::Depth::tree}});
  return {{"engine", engine.name()}, {"voices", voices}, {"watch", watch}};
}

std::optional<std::string> optionalString(const Json& request, const char* key) {
  auto it = request.find(key);
  if (it == request.end() || !it->is_string())
    return std::nullopt;
  return it->get<std::string>();
}

std::optional<double> optionalNumber(const Json& request, const char* key) {
  auto it = request.find(key);
  if (it == request.end() || !it->is_number())
    return std::nullopt;
  return it->get<double>();
}

[[noreturn]] void serve(const std::vector<MakeSynthesisEngine>& makers) {
  std::vector<std::unique_ptr<SynthesisEngine>> engines;
  Json offers = Json::array();
  for (const auto& make : makers) {
    if (auto engine = make ? make() : nullptr) {
      offers.push_back(describe(*engine));
      engines.push_back(std::move(engine));
    }
  }
  std::string hello = Json{{"engines", offers}}.dump();
  sendFrame(WorkerFrame::hello, hello.data(), hello.size());

  FrameOutput output;
  std::string line;
  while (std::getline(std::cin, line)) {
    Json request = Json::parse(line, nullptr, false);
    SynthesisEngine* engine = nullptr;
    if (request.is_object() && request["text"].is_string())
      for (const auto& candidate : engines)
        if (request.value("engine", "") == candidate->name())
          engine = candidate.get();
    char whole = 0;
    if (engine) {
      SynthesisJob job;
      job.text = request["text"].get<std::string>();
      job.voice = optionalString(request, "voice");
      job.language = optionalString(request, "language");
      job.rate = optionalNumber(request, "rate");
      job.pitch = optionalNumber(request, "pitch");
      job.volume = optionalNumber(request, "volume");
      job.words = request.value("words", false);
      whole = engine->synthesize(job, output) ? 1 : 0;
    }
    sendFrame(WorkerFrame::end, &whole, 1);
  }
  // The helper closed our input: it is done with us.
  ::_exit(0);
}

} // namespace

void runSynthesisWorkerIfAsked(int argc, char** argv,
                               const std::vector<MakeSynthesisEngine>& engines) {
  if (argc < 2 || argv[1] != synthesisWorkerMode)
    return;
  // A worker whose helper has gone has nobody to answer.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (argc != 3 || std::to_string(::getppid()) != argv[2])
    ::_exit(1);
  std::signal(SIGPIPE, SIG_IGN);
  serve(engines);
}

} // namespace quelt
