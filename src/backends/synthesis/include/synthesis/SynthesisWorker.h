#pragma once

#include "synthesis/SynthesisEngine.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quelt {

// Speech engines crash on some ordinary texts, keep global state and cannot be interrupted, so
// they run in worker processes: the helper's own binary started with these arguments, reading
// one job per line on stdin and answering in frames on stdout. Its stderr is a pipe the helper
// reads.
//
//   argv: <binary> --synthesis-worker <helper pid>
//
// A job is one JSON object: "engine", "text", "voice" (the engine's key of the voice, or null),
// "language" (or null), "rate", "pitch", "volume" (the request's scales, or null) and "words"
// (whether to report word positions); see SynthesisJob.

// Every frame is a type byte, a little-endian 32-bit payload length and the payload.
enum class WorkerFrame : char {
  // First, once: JSON {"engines": [{"engine", "watch": [{"path", "tree"}], "voices": [{"key",
  // "name", "language", "gender", "quality", "priority"}]}]}, in the workers' order of engines.
  hello = 'H',
  format = 'F', // one int64: the sample rate of the job's audio, before any of it
  audio = 'A',  // mono int16 samples in the machine's byte order
  word = 'W',   // three int64: sample where the word starts, UTF-16 location and length in the text
  end = 'E',    // one byte: 1 when the engine took the whole text, 0 when it refused it
};

inline constexpr size_t workerFrameHeader = 5;
// Larger than any frame a worker writes; a longer one means the stream is corrupt.
inline constexpr uint32_t maxWorkerFrame = 16u << 20;

// For main(), through the engine module: runs a worker holding `engines` when the arguments ask
// for one and ends the process; otherwise returns.
void runSynthesisWorkerIfAsked(int argc, char** argv,
                               const std::vector<MakeSynthesisEngine>& engines);

} // namespace quelt
