// The helper as a whole process, side by side with the engines it drives: start-up, memory,
// request throughput and latency, recognition against pocketsphinx_continuous, rendering
// against espeak-ng, partial latency and the CPU of a microphone capture. Every figure is the
// median of several runs; every ratio is taken within one run, then its median reported.

#include "EngineAlone.h"
#include "FliteBench.h"
#include "HelperSession.h"
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

using namespace std::chrono_literals;

struct Options {
  std::string helper = QUELT_HELPER_PATH;
  std::string libraryProbe = QUELT_LIBRARY_PROBE_PATH;
  std::string engineLibraryProbe = QUELT_ENGINE_LIBRARY_PROBE_PATH;
  std::string fixtures = QUELT_FIXTURES_DIR;
  int runs = 5;
  int micSeconds = 60;
  std::vector<std::string> only; // sections to run; all when empty
};

Report report;

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> result;
  for (std::string word; in >> word;)
    result.push_back(word);
  return result;
}

// Word error rate: edit distance over words, divided by the reference's length.
double wordErrorRate(const std::string& reference, const std::string& hypothesis) {
  auto ref = words(reference), hyp = words(hypothesis);
  std::vector<size_t> previous(hyp.size() + 1), current(hyp.size() + 1);
  for (size_t j = 0; j <= hyp.size(); ++j)
    previous[j] = j;
  for (size_t i = 1; i <= ref.size(); ++i) {
    current[0] = i;
    for (size_t j = 1; j <= hyp.size(); ++j)
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1,
                             previous[j - 1] + (ref[i - 1] == hyp[j - 1] ? 0 : 1)});
    std::swap(previous, current);
  }
  return ref.empty() ? 0 : static_cast<double>(previous[hyp.size()]) / ref.size();
}

std::string readText(const std::string& path) {
  std::ifstream file(path);
  std::string text, line;
  while (std::getline(file, line))
    text += (text.empty() ? "" : " ") + line;
  return text;
}

std::string temporaryPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() /
          ("quelt-bench-" + std::to_string(::getpid()) + "-" + name))
      .string();
}

void progress(const std::string& text) { std::cerr << "bench: " << text << std::endl; }

struct StartFigures {
  double milliseconds;
  double mebibytes;
};

// Start to the first reply of a "hello", then the resident memory once idle.
StartFigures startOnce(const std::string& program) {
  HelperSession child(program);
  Message reply = child.reply(child.send("hello"), 5s);
  double start = secondsBetween(child.startedAt(), reply.at) * 1000;
  std::this_thread::sleep_for(50ms);
  double memory = static_cast<double>(residentBytes(child.process().pid())) / 1048576;
  child.waitExit(5s);
  return {start, memory};
}

// The helper's start and idle memory, beside a program that only loads the same libraries; and
// what the engine libraries, which the helper loads on first use, would cost at start.
void startupAndMemory(const Options& options) {
  std::vector<double> starts, resident, libraryStarts, libraryResident, engineStarts,
      engineResident;
  int runs = std::max(20, options.runs * 4);
  progress("start-up and idle memory, " + std::to_string(runs) + " starts of each");
  for (int run = 0; run < runs; ++run) {
    StartFigures helper = startOnce(options.helper);
    StartFigures libraries = startOnce(options.libraryProbe);
    StartFigures engines = startOnce(options.engineLibraryProbe);
    starts.push_back(helper.milliseconds);
    resident.push_back(helper.mebibytes);
    libraryStarts.push_back(libraries.milliseconds);
    libraryResident.push_back(libraries.mebibytes);
    engineStarts.push_back(engines.milliseconds);
    engineResident.push_back(engines.mebibytes);
  }
  double start = median(starts), memory = median(resident);
  report.add({"start to first \"hello\" reply (ms)", number(start, 2),
              number(median(libraryStarts), 2) + " (its libraries, loaded only)",
              number(start - median(libraryStarts), 2) + " beyond", "<= 10 ms", start <= 10});
  report.add({"idle resident memory after \"hello\" (MiB)", number(memory, 2),
              number(median(libraryResident), 2) + " (its libraries, loaded only)",
              number(memory - median(libraryResident), 2) + " beyond", "<= 8 MB",
              memory * 1.048576 <= 8});
  report.note("a program that loads the engine module's libraries as well (what linking them "
              "into the helper would cost; it loads them on first use): start " +
              number(median(engineStarts), 2) + " ms, idle memory " +
              number(median(engineResident), 2) + " MiB");
}

// Round trips with the pipe kept full: every request is written before most replies are read.
void throughput(const Options& options) {
  constexpr int requests = 100000;
  constexpr int firstId = 1000000;
  std::string batch;
  for (int i = 0; i < requests; ++i)
    batch += "{\"id\":" + std::to_string(firstId + i) + ",\"op\":\"hello\"}\n";
  std::vector<double> rates, cpuPerRequest, busiestThreadPerRequest;
  progress("pipelined \"hello\", " + std::to_string(options.runs) + " x " +
           std::to_string(requests));
  for (int run = 0; run < options.runs; ++run) {
    HelperSession helper(options.helper);
    helper.reply(helper.send("hello"), 5s);
    pid_t pid = helper.process().pid();
    auto threadsBefore = threadCpuSeconds(pid);
    auto begin = Clock::now();
    std::thread writer([&] { helper.process().write(batch); });
    int lines = 0;
    std::vector<char> buffer(1 << 16);
    while (lines < requests) {
      ssize_t got = ::read(helper.process().output(), buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR)
        continue;
      if (got <= 0)
        break;
      lines += static_cast<int>(std::count(buffer.begin(), buffer.begin() + got, '\n'));
    }
    double seconds = secondsBetween(begin, Clock::now());
    writer.join();
    if (lines < requests)
      throw std::runtime_error("the helper answered only " + std::to_string(lines) + " hellos");
    rates.push_back(requests / seconds);
    double all = 0, busiest = 0;
    for (const auto& [tid, cpu] : threadCpuSeconds(pid)) {
      double used = cpu - (threadsBefore.count(tid) ? threadsBefore[tid] : 0);
      all += used;
      busiest = std::max(busiest, used);
    }
    cpuPerRequest.push_back(all / requests * 1e6);
    busiestThreadPerRequest.push_back(busiest / requests * 1e6);
    helper.shutdown();
  }
  double rate = median(rates);
  report.add({"pipelined \"hello\" round trips (per second)", withThousands(rate), "", "",
              ">= 200,000", rate >= 200000});
  // What the machine's other work cannot hide: the main thread serves every request, so its
  // CPU per request bounds the rate one free core would give.
  double busiest = median(busiestThreadPerRequest);
  report.note("pipelined \"hello\": helper CPU per round trip " + number(median(cpuPerRequest), 2) +
              " us over all threads, " + number(busiest, 2) +
              " us on the busiest (the main queue), which alone would allow " +
              withThousands(1e6 / busiest) + " per second");
}

// Reply latency with requests spaced evenly, as a parent with steady traffic sends them.
void steadyLatency(const Options& options) {
  constexpr int requests = 3000;
  constexpr auto spacing = 1ms;
  int runs = std::max(3, options.runs / 2 + 1);
  std::vector<double> p50s, p99s;
  progress("\"hello\" at 1,000 per second, " + std::to_string(runs) + " x " +
           std::to_string(requests));
  for (int run = 0; run < runs; ++run) {
    HelperSession helper(options.helper);
    helper.reply(helper.send("hello"), 5s);
    std::vector<Clock::time_point> sent(requests), received(requests);
    std::atomic<int> answered{0};
    std::thread reader([&] {
      while (answered < requests) {
        auto line = helper.nextLine(5s);
        if (!line)
          return;
        auto at = Clock::now();
        auto id = Json::parse(*line).value("id", int64_t{-1}) - 1;
        if (id >= 0 && id < requests)
          received[static_cast<size_t>(id)] = at;
        ++answered;
      }
    });
    auto begin = Clock::now();
    for (int i = 0; i < requests; ++i) {
      std::this_thread::sleep_until(begin + i * spacing);
      sent[static_cast<size_t>(i)] = Clock::now();
      helper.sendLine("{\"id\":" + std::to_string(i + 1) + ",\"op\":\"hello\"}");
    }
    reader.join();
    if (answered < requests)
      throw std::runtime_error("the helper left hellos unanswered");
    std::vector<double> latencies;
    for (int i = 0; i < requests; ++i)
      latencies.push_back(
          secondsBetween(sent[static_cast<size_t>(i)], received[static_cast<size_t>(i)]) * 1000);
    p50s.push_back(percentile(latencies, 0.50));
    p99s.push_back(percentile(latencies, 0.99));
    helper.shutdown();
  }
  double p50 = median(p50s), p99 = median(p99s);
  report.add({"\"hello\" reply latency at 1,000/s, p50 (ms)", number(p50, 3), "", "", "", {}});
  report.add({"\"hello\" reply latency at 1,000/s, p99 (ms)", number(p99, 3), "", "", "<= 1 ms",
              p99 <= 1});
}

Json fileSource(const std::string& path, bool realtime) {
  return {{"kind", "file"}, {"path", path}, {"realtime", realtime}};
}

std::vector<std::string> continuousCommand(const PocketsphinxModelFiles& model,
                                           const std::string& file) {
  std::vector<std::string> command = {"pocketsphinx_continuous"};
  auto arguments = decoderArguments(model);
  command.insert(command.end(), arguments.begin(), arguments.end());
  command.push_back("-infile");
  command.push_back(file);
  return command;
}

std::string ratioText(double ratio) { return number(ratio, 3); }

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

// "speech.synthesize_file" of one long text against espeak-ng -w, same voice, rate, pitch and
// volume.
void synthesis(const Options& options) {
  std::string sentences;
  {
    std::ifstream file(options.fixtures + "/sentences.txt");
    for (std::string line; std::getline(file, line);)
      sentences += line + ". ";
  }
  // Long enough that espeak-ng's own work outweighs its start, which is subtracted.
  std::string text;
  for (int i = 0; i < 16; ++i)
    text += sentences;
  std::string helperWav = temporaryPath("helper.wav"), cliWav = temporaryPath("espeak.wav");
  // espeak-ng's American voice by name: English goes to flite unless asked otherwise.
  Json params = {{"path", helperWav}, {"text", text}, {"voice", "espeak-ng:gmw/en-US:en-us"}};

  progress("rendering, " + std::to_string(options.runs) + " runs");
  HelperSession warm(options.helper);
  Message first = warm.reply(warm.send("speech.synthesize_file", params), 60s);
  // "espeak-ng:<voice file>:<language>"
  std::string voiceId = first.json["result"].value("voice", "");
  auto colon = voiceId.find(':'), last = voiceId.rfind(':');
  std::string voiceFile = voiceId.substr(colon + 1, last - colon - 1);
  auto cli = [&](const std::string& words) {
    return runCommand(
        {"espeak-ng", "-v", voiceFile, "-s", "175", "-p", "50", "-a", "100", "-w", cliWav, words});
  };

  std::vector<double> helperWarm, helperCold, whole, startOnly, warmRatios, coldRatios;
  std::vector<double> helperAudio, cliAudio;
  for (int run = 0; run < options.runs; ++run) {
    Clock::time_point sent;
    Message reply = warm.reply(warm.send("speech.synthesize_file", params, &sent), 60s);
    helperWarm.push_back(secondsBetween(sent, reply.at));
    helperAudio.push_back(reply.json["result"].value("duration_seconds", 0.0));
    CommandRun render = cli(text);
    auto [frames, rate] = audioFrames(cliWav);
    cliAudio.push_back(rate ? static_cast<double>(frames) / rate : 0);
    CommandRun start = cli(" ");
    if (!render.succeeded || !start.succeeded)
      throw std::runtime_error("espeak-ng failed (package espeak-ng)");
    {
      HelperSession cold(options.helper);
      Message coldReply = cold.reply(cold.send("speech.synthesize_file", params), 60s);
      helperCold.push_back(secondsBetween(cold.startedAt(), coldReply.at));
      cold.shutdown();
    }
    whole.push_back(render.wallSeconds);
    startOnly.push_back(start.wallSeconds);
    warmRatios.push_back(helperWarm.back() / (render.wallSeconds - start.wallSeconds));
    coldRatios.push_back(helperCold.back() / render.wallSeconds);
  }
  warm.shutdown();
  std::remove(helperWav.c_str());
  std::remove(cliWav.c_str());

  std::string what = "render " + std::to_string(words(text).size()) + " words";
  double warmRatio = median(warmRatios), coldRatio = median(coldRatios);
  report.add({what + ", voice loaded (s)", number(median(helperWarm), 3),
              number(median(whole) - median(startOnly), 3) + " (espeak-ng minus its start)",
              ratioText(warmRatio), "<= 1.05", warmRatio <= 1.05});
  report.add({what + ", fresh process (s)", number(median(helperCold), 3),
              number(median(whole), 3) + " (espeak-ng -w)", ratioText(coldRatio), "<= 1.05",
              coldRatio <= 1.05});
  report.note("rendering: voice " + voiceFile +
              ", 175 words per minute, pitch 50, volume "
              "100; audio written: helper " +
              number(median(helperAudio), 2) + " s, espeak-ng " + number(median(cliAudio), 2) +
              " s; espeak-ng with a "
              "one-space text (its start, data and voice load) " +
              number(median(startOnly), 3) + " s");
}

// Processes a helper started (its synthesis workers among them).
std::vector<pid_t> childrenOf(pid_t parent) {
  std::vector<pid_t> children;
  std::error_code error;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(parent) + "/task", error)) {
    std::ifstream list(task.path() / "children");
    for (pid_t child; list >> child;)
      children.push_back(child);
  }
  return children;
}

// Waits for the replies to all of `ids`, in whatever order they come.
void awaitReplies(HelperSession& helper, std::vector<int64_t> ids, Clock::duration timeout) {
  auto deadline = Clock::now() + timeout;
  while (!ids.empty()) {
    Message reply = helper.waitFor(
        [&](const Json& line) {
          return std::find(ids.begin(), ids.end(), line.value("id", int64_t{-1})) != ids.end();
        },
        deadline - Clock::now());
    if (!reply.json.value("ok", false))
      throw std::runtime_error("a render failed: " + reply.json.dump());
    ids.erase(std::find(ids.begin(), ids.end(), reply.json["id"].get<int64_t>()));
  }
}

// Renders side by side in the synthesis workers: several at once against one after another, a
// short one during a long one, the memory of ten of the longest texts at once, and how the
// main queue answers meanwhile.
void renders(const Options& options) {
  const std::string sentence =
      "This sentence is one of very many, so that synthesis takes a while. ";
  std::string medium, longest;
  for (int i = 0; i < 40; ++i)
    medium += sentence;
  while (longest.size() + sentence.size() <= 32768)
    longest += sentence;
  unsigned parallel = std::max(2u, std::thread::hardware_concurrency());
  auto params = [](const std::string& text, const std::string& path) {
    return Json{{"text", text}, {"path", path}, {"voice", "espeak-ng:gmw/en-US:en-us"}};
  };
  std::vector<std::string> paths;
  auto path = [&](const std::string& name) {
    paths.push_back(temporaryPath(name));
    return paths.back();
  };

  progress("renders side by side, " + std::to_string(options.runs) + " runs");
  std::vector<double> sequential, together, shortDuring, helloDuring, interrupts;
  double peakMb = 0;
  for (int run = 0; run < options.runs; ++run) {
    HelperSession helper(options.helper);
    // Every worker of the pool started, so that neither side pays for a start.
    std::vector<int64_t> warming;
    for (unsigned i = 0; i < parallel; ++i)
      warming.push_back(helper.send("speech.synthesize_file",
                                    params(medium, path("warm" + std::to_string(i) + ".wav"))));
    awaitReplies(helper, warming, 120s);
    auto started = Clock::now();
    for (unsigned i = 0; i < parallel; ++i)
      helper.reply(helper.send("speech.synthesize_file",
                               params(medium, path("seq" + std::to_string(i) + ".wav"))),
                   60s);
    sequential.push_back(secondsBetween(started, Clock::now()));
    started = Clock::now();
    std::vector<int64_t> ids;
    for (unsigned i = 0; i < parallel; ++i)
      ids.push_back(helper.send("speech.synthesize_file",
                                params(medium, path("par" + std::to_string(i) + ".wav"))));
    awaitReplies(helper, ids, 120s);
    together.push_back(secondsBetween(started, Clock::now()));

    progress("a short render during a long one");
    int64_t long_ = helper.send("speech.synthesize_file", params(longest, path("long.wav")));
    std::this_thread::sleep_for(200ms);
    Clock::time_point sent;
    Message shortReply = helper.reply(
        helper.send("speech.synthesize_file", params("two words", path("short.wav")), &sent), 60s);
    shortDuring.push_back(secondsBetween(sent, shortReply.at) * 1000);
    helper.reply(long_, 120s);

    progress("ten of the longest renders at once");
    ids.clear();
    for (int i = 0; i < 10; ++i)
      ids.push_back(helper.send("speech.synthesize_file",
                                params(longest, path("ten" + std::to_string(i) + ".wav"))));
    std::this_thread::sleep_for(300ms);
    std::vector<Message> passed;
    Message hello = helper.reply(helper.send("hello", Json::object(), &sent), 10s, &passed);
    helloDuring.push_back(secondsBetween(sent, hello.at) * 1000);
    for (const auto& message : passed)
      std::erase(ids, message.json.value("id", int64_t{-1}));
    awaitReplies(helper, ids, 600s);
    // Each process's own peak: their sum is at least the peak of the whole.
    double peak = static_cast<double>(peakResidentBytes(helper.process().pid()));
    for (pid_t child : childrenOf(helper.process().pid()))
      peak += static_cast<double>(peakResidentBytes(child));
    peakMb = std::max(peakMb, peak / (1 << 20));

    progress("an interrupting speech.speak");
    helper.send("speech.speak",
                {{"utterance", 1}, {"text", longest}, {"voice", "espeak-ng:gmw/en-US:en-us"}});
    std::this_thread::sleep_for(50ms);
    helper.send("speech.speak", {{"utterance", 2}, {"text", "now"}, {"interrupt", true}}, &sent);
    Message cancelled = helper.waitFor(
        [](const Json& line) {
          return line.value("event", "") == "speech.cancelled" && line.value("utterance", 0) == 1;
        },
        10s);
    interrupts.push_back(secondsBetween(sent, cancelled.at) * 1000);
    helper.shutdown();
  }
  for (const auto& file : paths)
    std::remove(file.c_str());

  std::string count = std::to_string(parallel);
  double ratio = median(together) / median(sequential);
  report.add({count + " renders of " + std::to_string(medium.size()) + " characters at once (s)",
              number(median(together), 3), number(median(sequential), 3) + " (one after another)",
              ratioText(ratio), "< 1", ratio < 1});
  report.add({"a two-word render sent during a " + std::to_string(longest.size()) +
                  "-character one, answered after (ms)",
              number(median(shortDuring), 1), "", "", "<= 100", median(shortDuring) <= 100});
  report.add({"ten " + std::to_string(longest.size()) +
                  "-character renders at once, peak resident, helper and workers (MB)",
              number(peakMb, 1), "", "", "<= 200", peakMb <= 200});
  report.add({"\"hello\" during those ten renders (ms)", number(median(helloDuring), 2), "", "",
              "<= 5", median(helloDuring) <= 5});
  report.add({"interrupting \"speech.speak\" during a " + std::to_string(longest.size()) +
                  "-character synthesis, to its \"speech.cancelled\" (ms)",
              number(median(interrupts), 1), "", "", "<= 100", median(interrupts) <= 100});
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

bool wanted(const Options& options, const std::string& section) {
  return options.only.empty() ||
         std::find(options.only.begin(), options.only.end(), section) != options.only.end();
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc)
        throw std::runtime_error(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--runs")
      options.runs = std::max(1, std::stoi(value()));
    else if (arg == "--mic-seconds")
      options.micSeconds = std::max(10, std::stoi(value()));
    else if (arg == "--helper")
      options.helper = value();
    else if (arg == "--fixtures")
      options.fixtures = value();
    else if (arg == "--only")
      options.only.push_back(value());
    else
      throw std::runtime_error(
          "usage: quelt_process_bench [--runs N] [--mic-seconds S] [--helper PATH] "
          "[--fixtures DIR] [--only "
          "startup|throughput|latency|recognition|long|synthesis|renders|flite|partial|"
          "microphone]...");
  }
  return options;
}

} // namespace
} // namespace quelt::bench

int main(int argc, char** argv) {
  using namespace quelt::bench;
  try {
    Options options = parse(argc, argv);
    if (wanted(options, "startup"))
      startupAndMemory(options);
    if (wanted(options, "throughput"))
      throughput(options);
    if (wanted(options, "latency"))
      steadyLatency(options);
    std::optional<Decoder> decoder;
    auto loaded = [&]() -> Decoder& {
      if (!decoder)
        decoder.emplace(helperModel());
      return *decoder;
    };
    if (wanted(options, "recognition")) {
      recognition(options, loaded(), "sentences-16k-mono.wav", "sentences.txt");
      recognition(options, loaded(), "sentence-16k-mono.wav", "sentence.txt");
    }
    if (wanted(options, "long"))
      longRecognition(options);
    if (wanted(options, "synthesis"))
      synthesis(options);
    if (wanted(options, "renders"))
      renders(options);
    if (wanted(options, "flite"))
      fliteRenders(options.helper, options.fixtures, options.runs, report);
    if (wanted(options, "partial"))
      partialLatency(options, loaded());
    if (wanted(options, "microphone"))
      microphoneCpu(options, loaded());
    report.print(options.runs);
  } catch (const std::exception& error) {
    std::cerr << "bench failed: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
