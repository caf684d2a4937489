#pragma once

// What the sections of the whole-process benchmark share: the options, the report, and the
// helpers they read texts and files with. Each section adds its figures to `report`.

#include "EngineAlone.h"
#include "HelperSession.h"
#include "Report.h"
#include "linux/WordAccuracy.h"

#include <string>
#include <vector>

namespace quelt::bench {

using testing::words;

struct Options {
  std::string helper = QUELT_HELPER_PATH;
  std::string libraryProbe = QUELT_LIBRARY_PROBE_PATH;
  std::string engineLibraryProbe = QUELT_ENGINE_LIBRARY_PROBE_PATH;
  std::string fixtures = QUELT_FIXTURES_DIR;
  int runs = 5;
  int micSeconds = 60;
  std::vector<std::string> only; // sections to run; all when empty
};

extern Report report;

// Word error rate: edit distance over words, divided by the reference's length.
double wordErrorRate(const std::string& reference, const std::string& hypothesis);
std::string readText(const std::string& path);
std::string temporaryPath(const std::string& name);
void progress(const std::string& text);
Json fileSource(const std::string& path, bool realtime);
std::string ratioText(double ratio);

// The helper's process: start-up and memory, request throughput, steady latency.
void startupAndMemory(const Options& options);
void throughput(const Options& options);
void steadyLatency(const Options& options);

// Recognition against pocketsphinx_continuous, partial latency, a microphone's CPU.
void recognition(const Options& options, Decoder& decoder, const std::string& name,
                 const std::string& textName);
void longRecognition(const Options& options);
void partialLatency(const Options& options, Decoder& decoder);
void microphoneCpu(const Options& options, Decoder& decoder);

// Rendering against espeak-ng, and renders side by side.
void synthesis(const Options& options);
void renders(const Options& options);

} // namespace quelt::bench
