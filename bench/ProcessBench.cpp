// The helper as a whole process, side by side with the engines it drives: start-up, memory,
// request throughput and latency, recognition against pocketsphinx_continuous, rendering
// against espeak-ng, partial latency and the CPU of a microphone capture. Every figure is the
// median of several runs; every ratio is taken within one run, then its median reported. The
// sections are in ProcessSections.h.

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

using namespace std::chrono_literals;

Report report;

// Word error rate: edit distance over words, divided by the reference's length.
double wordErrorRate(const std::string& reference, const std::string& hypothesis) {
  // Case and sentence marks aside: the helper writes sentences, pocketsphinx_continuous words.
  auto ref = testing::words(reference), hyp = testing::words(hypothesis);
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

Json fileSource(const std::string& path, bool realtime) {
  return {{"kind", "file"}, {"path", path}, {"realtime", realtime}};
}

std::string ratioText(double ratio) { return number(ratio, 3); }

namespace {

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
