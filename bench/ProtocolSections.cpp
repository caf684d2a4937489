// The helper's process: start-up and memory, request throughput, steady latency.

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

using namespace std::chrono_literals;

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

} // namespace

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

} // namespace quelt::bench
