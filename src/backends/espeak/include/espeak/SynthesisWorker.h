#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quelt {

// espeak-ng crashes on some ordinary texts and cannot be interrupted, so it runs in worker
// processes: the helper's own binary started with these arguments, reading one job per line on
// stdin and answering in frames on stdout. Its stderr is a pipe the helper reads.
//
//   argv: <binary> --synthesis-worker <helper pid>
//
// A job is one JSON object: "text", "voice" (an espeak-ng voice file, or null), "language"
// (for a voice from elsewhere, or null), "rate" (words per minute), "pitch", "volume" (espeak-ng
// units) and "words" (whether to report word positions).

// Every frame is a type byte, a little-endian 32-bit payload length and the payload.
enum class WorkerFrame : char {
  // First, once: JSON {"rate", "data" (espeak-ng's data directory), "voices": [{"file",
  // "language", "priority", "name", "gender"}]}. A rate of 0: espeak-ng could not start.
  hello = 'H',
  audio = 'A', // mono int16 samples in the machine's byte order
  word = 'W',  // three int64: sample where the word starts, UTF-16 location and length in the text
  end = 'E',   // one byte: 1 when espeak-ng took the whole text, 0 when it refused it
};

inline constexpr size_t workerFrameHeader = 5;
// Larger than any frame a worker writes; a longer one means the stream is corrupt.
inline constexpr uint32_t maxWorkerFrame = 16u << 20;

// For main(), through the engine module: runs a worker when the arguments ask for one and ends
// the process; otherwise returns.
void runSynthesisWorkerIfAsked(int argc, char** argv);

} // namespace quelt
