// Recognition: against pocketsphinx_continuous on recordings short and long, the latency of
// partial texts, and the CPU of a microphone capture.

#include "FliteBench.h"
#include "ProcessSections.h"
#include "PulseServer.h"
#include "Report.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace quelt::bench {
namespace {

std::vector<std::string> continuousCommand(const PocketsphinxModelFiles& model,
                                           const std::string& file) {
  std::vector<std::string> command = {"pocketsphinx_continuous"};
  auto arguments = decoderArguments(model);
  command.insert(command.end(), arguments.begin(), arguments.end());
  command.push_back("-infile");
  command.push_back(file);
  return command;
}

} // namespace

using namespace std::chrono_literals;

// One recording through "capture.start" (a file, as fast as it reads) to "capture.stopped",
// against pocketsphinx_continuous -infile on the same file with the same model and settings.
void recognition(const Options& options, Decoder& decoder, const std::string& name,
                 const std::string& textName) {
  std::string path = options.fixtures + "/" + name;
  std::string reference = readText(options.fixtures + "/" + textName);
  auto samples = readMono16k(path);
  double audioSeconds = static_cast<double>(samples.size()) / 16000;
  auto model = helperModel();
  std::string empty = temporaryPath("empty.wav");
  writeMono16k(empty, {});
  Json params = {{"locale", "en-US"}, {"source", fileSource(path, false)}};

  progress("recognition of " + name + ", " + std::to_string(options.runs) + " runs");
  HelperSession warm(options.helper);
  runCapture(warm, params, 120s); // loads the model, as any earlier capture would have
  std::vector<double> helperWarm, helperCold, continuous, continuousLoad, warmRatios, coldRatios;
  std::vector<double> helperCpu, continuousCpu, cpuRatios;
  std::vector<double> engineHelperWay, engineContinuousWay, helperWer, continuousWer;
  for (int run = 0; run < options.runs; ++run) {
    double cpuBefore = cpuSeconds(warm.process().pid());
    Capture capture = runCapture(warm, params, 120s);
    helperCpu.push_back(cpuSeconds(warm.process().pid()) - cpuBefore);
    CommandRun whole = runCommand(continuousCommand(model, path));
    CommandRun load = runCommand(continuousCommand(model, empty));
    continuousCpu.push_back(whole.cpuSeconds - load.cpuSeconds);
    cpuRatios.push_back(helperCpu.back() / continuousCpu.back());
    if (!whole.succeeded || !load.succeeded)
      throw std::runtime_error("pocketsphinx_continuous failed (package pocketsphinx)");
    {
      HelperSession cold(options.helper);
      Capture first = runCapture(cold, params, 120s);
      helperCold.push_back(secondsBetween(cold.startedAt(), first.stoppedAt));
      cold.shutdown();
    }
    helperWarm.push_back(capture.seconds);
    continuous.push_back(whole.wallSeconds);
    continuousLoad.push_back(load.wallSeconds);
    warmRatios.push_back(capture.seconds / (whole.wallSeconds - load.wallSeconds));
    coldRatios.push_back(helperCold.back() / whole.wallSeconds);
    engineHelperWay.push_back(decoder.decodeAsHelper(samples, {}).wallSeconds);
    engineContinuousWay.push_back(decoder.decodeAsContinuous(samples).wallSeconds);
    helperWer.push_back(wordErrorRate(reference, capture.text));
    continuousWer.push_back(wordErrorRate(reference, whole.output));
  }
  std::remove(empty.c_str());

  std::string audio = name + " (" + number(audioSeconds, 2) + " s)";
  double warmRatio = median(warmRatios), coldRatio = median(coldRatios);
  double cpuRatio = median(cpuRatios);
  report.add(
      {"recognition, model loaded: " + audio + ", time (s)", number(median(helperWarm), 3),
       number(median(continuous) - median(continuousLoad), 3) + " (continuous minus its load)",
       ratioText(warmRatio), "<= 1.05", warmRatio <= 1.05});
  report.add({"recognition, model loaded: " + audio + ", CPU (s)", number(median(helperCpu), 3),
              number(median(continuousCpu), 3) + " (continuous minus its load)",
              ratioText(cpuRatio), "<= 1.05", cpuRatio <= 1.05});
  report.add({"recognition, fresh process: " + audio + ", time (s)", number(median(helperCold), 3),
              number(median(continuous), 3) + " (continuous)", ratioText(coldRatio), "<= 1.05",
              coldRatio <= 1.05});
  report.note(name + ": pocketsphinx_continuous on an empty file (its start and model load) " +
              number(median(continuousLoad), 3) +
              " s; in-process decoding the helper's way (100 ms blocks, utterances cut "
              "at pauses, a hypothesis per block, posteriors) " +
              number(median(engineHelperWay), 3) +
              " s, continuous's way (2048-sample "
              "reads, utterances cut by the voice activity detector) " +
              number(median(engineContinuousWay), 3) + " s; word error rate helper " +
              number(median(helperWer) * 100, 1) + " %, continuous " +
              number(median(continuousWer) * 100, 1) + " %");
  warm.shutdown();
}

// Long recordings at file speed, each in a fresh helper and a fresh pocketsphinx_continuous:
// the helper must hear what continuous hears, in about its time, with memory that does not
// grow with the recording's length.
void longRecognition(const Options& options) {
  auto sentences = readMono16k(options.fixtures + "/sentences-16k-mono.wav");
  auto model = helperModel();
  double shortestPeak = 0;
  for (int minutes : {3, 10}) {
    progress("recognition of a " + std::to_string(minutes) + "-minute recording");
    std::vector<int16_t> samples;
    while (samples.size() < static_cast<size_t>(minutes) * 60 * 16000)
      samples.insert(samples.end(), sentences.begin(), sentences.end());
    std::string path = temporaryPath("long-" + std::to_string(minutes) + ".wav");
    writeMono16k(path, samples);
    HelperSession helper(options.helper);
    Capture capture = runCapture(helper, {{"locale", "en-US"}, {"source", fileSource(path, false)}},
                                 std::chrono::hours(1));
    double peak = static_cast<double>(peakResidentBytes(helper.process().pid())) / (1 << 20);
    helper.shutdown();
    size_t finals = 0, confident = 0;
    for (const auto& message : capture.messages)
      if (message.json.value("event", "") == "capture.final") {
        ++finals;
        confident += message.json.contains("confidence");
      }
    CommandRun whole = runCommand(continuousCommand(model, path));
    std::remove(path.c_str());
    if (!whole.succeeded)
      throw std::runtime_error("pocketsphinx_continuous failed (package pocketsphinx)");
    if (minutes == 3)
      shortestPeak = peak;
    double ratio = capture.seconds / whole.wallSeconds;
    size_t heard = words(capture.text).size(), reference = words(whole.output).size();
    auto differing = static_cast<size_t>(
        std::lround(wordErrorRate(whole.output, capture.text) * static_cast<double>(reference)));
    std::string audio = std::to_string(minutes) + "-minute recording, fresh process";
    report.add({"recognition at file speed, " + audio + ", time (s)", number(capture.seconds, 2),
                number(whole.wallSeconds, 2) + " (continuous)", ratioText(ratio), "<= 1.1",
                ratio <= 1.1});
    report.add({"recognition at file speed, " + audio + ", words", std::to_string(heard),
                std::to_string(reference) + " (continuous)", std::to_string(differing) + " differ",
                "a few", std::nullopt});
    report.add({"recognition at file speed, " + audio + ", finals with a confidence",
                std::to_string(confident) + " of " + std::to_string(finals), "", "", "all",
                finals > 0 && confident == finals});
    if (minutes == 3)
      report.note("Long recordings (sentences-16k-mono.wav repeated to 3 and 10 minutes): one "
                  "run each, in a fresh helper against a fresh pocketsphinx_continuous -infile; "
                  "words differing are the word edit distance between their texts.");
    report.add({"recognition at file speed, " + audio + ", peak memory (MiB)", number(peak, 1), "",
                minutes == 3 ? "" : "+" + number(peak - shortestPeak, 1) + " on 3 minutes",
                minutes == 3 ? "" : "<= +20 MiB",
                minutes == 3 ? std::nullopt : std::optional<bool>(peak - shortestPeak <= 20)});
  }
}

// Audio to "capture.partial" on a real-time file capture, beyond what the recognizer itself
// spends on the block that changed its hypothesis. Each 100 ms block's arrival is seen as the
// "capture.level" event the session sends on the delivery thread as the block comes in. Each
// partial is traced to its block by replaying the same blocks, paced alike, through a decoder
// in this process: the first block after which the decoder's hypothesis reads the same.
void partialLatency(const Options& options, Decoder& decoder) {
  std::string name = "sentences-16k-mono.wav";
  std::string path = options.fixtures + "/" + name;
  auto samples = readMono16k(path);
  int runs = std::max(2, options.runs / 2);
  progress("partial latency on " + name + " in real time, " + std::to_string(runs) + " runs");
  HelperSession helper(options.helper);
  runCapture(helper, {{"locale", "en-US"}, {"source", fileSource(path, false)}}, 120s);
  Json params = {
      {"locale", "en-US"}, {"level_interval_ms", 100}, {"source", fileSource(path, true)}};
  // Dithering makes two decodings drift apart now and then; a match this far back is not one.
  constexpr size_t traceableBlocks = 10;

  std::vector<double> latencies, engines, overheads, overheadP90s, tracedShares;
  for (int run = 0; run < runs; ++run) {
    Capture capture = runCapture(helper, params, 120s);
    Decoder::Run replay = decoder.decodeAsHelper(samples, {.realtime = true});

    std::map<size_t, Clock::time_point> arrivals; // block -> its level event
    std::vector<double> runLatency, runEngine, runOverhead;
    size_t cursor = 0, partials = 0;
    for (const auto& message : capture.messages) {
      std::string event = message.json.value("event", "");
      if (event == "capture.level") {
        double elapsed = message.json.value("elapsed_ms", 0.0);
        arrivals[static_cast<size_t>(std::ceil(elapsed / 100 - 1e-9)) - 1] = message.at;
        continue;
      }
      if (event != "capture.partial")
        continue;
      ++partials;
      std::string text = message.json.value("text", "");
      size_t lastArrived = arrivals.empty() ? 0 : arrivals.rbegin()->first;
      for (size_t k = cursor; k < replay.steps.size() && k <= lastArrived; ++k) {
        bool changedHere = k == 0 || replay.steps[k - 1].hypothesis != text;
        if (replay.steps[k].hypothesis != text || !changedHere)
          continue;
        cursor = k + 1;
        auto arrival = arrivals.find(k);
        if (arrival == arrivals.end() || lastArrived - k >= traceableBlocks)
          break;
        double latency = secondsBetween(arrival->second, message.at);
        runLatency.push_back(latency * 1000);
        runEngine.push_back(replay.steps[k].seconds * 1000);
        runOverhead.push_back((latency - replay.steps[k].seconds) * 1000);
        break;
      }
    }
    if (runOverhead.empty())
      throw std::runtime_error("no partial could be traced to its audio");
    latencies.push_back(median(runLatency));
    engines.push_back(median(runEngine));
    overheads.push_back(median(runOverhead));
    overheadP90s.push_back(percentile(runOverhead, 0.9));
    tracedShares.push_back(static_cast<double>(runOverhead.size()) / static_cast<double>(partials));
  }
  helper.shutdown();
  double p90 = median(overheadP90s);
  report.add({"block arrival to \"capture.partial\", median (ms)",
              number(median(latencies), 1),
              number(median(engines), 1) + " (recognizer on that block)",
              number(median(overheads), 1) + " beyond",
              "",
              {}});
  report.add({"block arrival to \"capture.partial\" beyond the recognizer, p90 (ms)",
              number(p90, 1), "", "", "<= 150 ms", p90 <= 150});
  report.note("partials traced to their audio block: " + number(median(tracedShares) * 100, 0) +
              " % (the rest read differently "
              "in the dithered replay and are left out); " +
              std::to_string(runs) + " runs");
}

// A microphone capture on a private PulseAudio server whose pipe source is fed a recording in
// real time; CPU of the helper process alone, against the recognizer's own for the same audio.
void microphoneCpu(const Options& options, Decoder& decoder) {
  constexpr size_t micBlockFrames = 2048; // what the microphone source asks its tap for
  auto recording = readMono16k(options.fixtures + "/sentences-16k-mono.wav");
  size_t total = static_cast<size_t>(options.micSeconds) * 16000;
  std::vector<int16_t> audio;
  while (audio.size() < total)
    audio.insert(audio.end(), recording.begin(), recording.end());
  audio.resize(total);

  progress("microphone capture of " + std::to_string(options.micSeconds) +
           " s, the recognizer alone beside it");
  testing::PulseServer pulse;
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    // Non-blocking: once nothing records, the pipe source stops reading and a full pipe must
    // not hold the feeder (and the end of the benchmark) up; blocks it cannot take are dropped.
    int fd = ::open(pulse.fifoPath().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
      return;
    auto begin = Clock::now();
    // Fed for longer than the capture, so the source never runs dry while it records.
    for (size_t block = 0; feeding; ++block) {
      std::this_thread::sleep_until(begin + block * 100ms);
      size_t at = (block * 1600) % recording.size();
      size_t count = std::min<size_t>(1600, recording.size() - at);
      if (::write(fd, recording.data() + at, count * sizeof(int16_t)) < 0 && errno != EAGAIN)
        break;
    }
    ::close(fd);
  });

  // Paced as the microphone delivers it: a decoder woken every block runs on colder caches
  // than one fed as fast as it goes, which costs it noticeably more.
  Decoder::Run engine;
  std::thread reference;
  double cpu = 0, seconds = 0, decodingThread = 0;
  std::vector<double> windows;
  size_t partials = 0;
  std::string text;
  try {
    HelperSession helper(options.helper, {"PULSE_SERVER=" + pulse.address()});
    // The model is loaded first, as any earlier dictation would have: the capture is measured.
    runCapture(helper,
               {{"locale", "en-US"},
                {"source", fileSource(options.fixtures + "/sentence-16k-mono.wav", false)}},
               120s);
    pid_t pid = helper.process().pid();
    Clock::time_point sent;
    int64_t start = helper.send("capture.start", {{"capture", 999}, {"locale", "en-US"}}, &sent);
    std::vector<Message> seen;
    helper.reply(start, 30s, &seen);
    // The recognizer alone runs beside the capture on the same audio, paced alike, so that both
    // meet whatever else the machine is doing at the time.
    reference = std::thread([&] {
      engine = decoder.decodeAsHelper(
          audio, {.realtime = true, .blockSamples = micBlockFrames, .silentTail = false});
    });
    double cpuBegin = cpuSeconds(pid), windowCpu = cpuBegin;
    auto threadsBegin = threadCpuSeconds(pid);
    // Threads that end on the way (the decoder's, the audio input's) keep their last reading.
    std::map<pid_t, double> threadsSeen = threadsBegin;
    auto lookAtThreads = [&] {
      for (const auto& [tid, seconds] : threadCpuSeconds(pid))
        threadsSeen[tid] = seconds;
    };
    auto begin = Clock::now();
    for (int window = 1; window * 10 <= options.micSeconds; ++window) {
      auto until = begin + window * 10s;
      while (Clock::now() < until)
        if (auto line = helper.nextLine(until - Clock::now()))
          partials += line->find("\"capture.partial\"") != std::string::npos;
      double now = cpuSeconds(pid);
      lookAtThreads();
      windows.push_back((now - windowCpu) / 10 * 100);
      windowCpu = now;
    }
    std::this_thread::sleep_until(begin + std::chrono::seconds(options.micSeconds));
    // The decoding thread ends with the capture: it is the one that worked most so far.
    pid_t decoder = 0;
    double most = -1;
    lookAtThreads();
    for (const auto& [tid, seconds] : threadsSeen) {
      auto before = threadsBegin.find(tid);
      double used = seconds - (before == threadsBegin.end() ? 0 : before->second);
      if (used > most) {
        most = used;
        decoder = tid;
      }
    }
    int64_t stop = helper.send("capture.stop", {{"capture", 999}});
    Message stopped = helper.waitFor(
        [](const Json& json) { return json.value("event", "") == "capture.stopped"; }, 30s, &seen);
    cpu = cpuSeconds(pid) - cpuBegin;
    double others = 0;
    lookAtThreads();
    for (const auto& [tid, seconds] : threadsSeen) {
      auto before = threadsBegin.find(tid);
      if (tid != decoder)
        others += seconds - (before == threadsBegin.end() ? 0 : before->second);
    }
    decodingThread = cpu - others;
    seconds = secondsBetween(begin, stopped.at);
    for (const auto& message : seen)
      if (message.json.value("event", "") == "capture.final")
        text += message.json.value("text", "") + " ";
    (void)stop;
    helper.shutdown();
  } catch (...) {
    feeding = false;
    feeder.join();
    if (reference.joinable())
      reference.join();
    throw;
  }
  feeding = false;
  feeder.join();
  reference.join();
  if (words(text).size() < 10)
    throw std::runtime_error("the microphone capture heard too little: \"" + text + "\"");

  report.add(
      {"microphone capture of " + std::to_string(options.micSeconds) + " s, CPU of the helper (s)",
       number(cpu, 2) + " (" + number(cpu / seconds * 100, 1) + " % of a core)",
       number(engine.cpuSeconds, 2) + " (recognizer alone)",
       number(cpu - engine.cpuSeconds, 2) + " s beyond",
       "",
       {}});
  report.note("microphone: of the helper's CPU, its decoding thread " + number(decodingThread, 2) +
              " s, every other thread together " + number(cpu - decodingThread, 2) +
              " s; CPU per 10 s window, median " + number(median(windows), 1) + " % of a core; " +
              std::to_string(partials) + " partials during the capture, " +
              std::to_string(words(text).size()) + " words in the final text");
}

} // namespace quelt::bench
