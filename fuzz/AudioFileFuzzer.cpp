// An audio file as a file capture reads it: opened with libsndfile, delivered by the file
// source in tenth-of-a-second buffers with its silent tail, and converted with libsoxr to what
// the recognizer takes. The input is the file's bytes.

#include "audio/FileSource.h"
#include "sndfile/SndfileAudioServices.h"
#include "soxr/SoxrConverter.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace quelt;

const AudioFormat decoderFormat{16000, 1, SampleFormat::int16, true};

// Real time never passes: file captures here are not paced.
class StillClock : public Clock {
public:
  TimePoint now() const override { return {}; }
  std::shared_ptr<Timer> schedule(Duration, std::function<void()>) override { return nullptr; }
  void sleepUntil(TimePoint) override {}
};

// In memory where there is a tmpfs for it: the file is written anew for every input.
std::string scratchFile() {
  std::string pattern = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm/quelt-fuzz-audio-XXXXXX"
                                                        : "/tmp/quelt-fuzz-audio-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0)
    std::abort();
  ::close(fd);
  return name.data();
}

size_t threadCount() {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    count += entry.is_directory() ? 1 : 0;
  return count;
}

bool writeFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file)
    return false;
  bool written = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && written;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = scratchFile();
  static SndfileAudioServices services(makeSoxrConverter);
  static auto clock = std::make_shared<StillClock>();
  if (!writeFile(path, data, size))
    std::abort();
  // ThreadSanitizer starts a thread of its own with the first thread a program makes; let it
  // exist before threads are counted.
  static const bool runtimeThreadsStarted = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)runtimeThreadsStarted;
  const size_t threadsBefore = threadCount();

  std::shared_ptr<FileSource> source;
  try {
    source = FileSource::create(services, path, Pace::asRead, clock,
                                [](std::function<void()> block) { block(); });
    source->open();
  } catch (const HelperError& error) {
    if (error.code() != "io")
      std::abort();
    return 0;
  }

  std::unique_ptr<AudioConverter> converter;
  std::optional<PcmBuffer> converted;
  int64_t frames = 0;
  // The reader thread owns the callbacks and lets them go as it ends: waiting for that keeps
  // one input's thread from running into the next.
  std::promise<void> released;
  std::shared_ptr<void> held(nullptr, [&released](void*) { released.set_value(); });
  source->start(
      [&, held](const PcmBuffer& buffer) {
        if (!(buffer.format() == source->format()))
          std::abort();
        frames += buffer.frameLength();
        if (!converter)
          converter = services.makeConverter(buffer.format(), decoderFormat);
        if (!converter)
          return;
        double rate = buffer.format().sampleRate;
        auto room = static_cast<uint32_t>(buffer.frameLength() * decoderFormat.sampleRate / rate);
        if (!converted || converted->frameCapacity() < room + 256)
          converted.emplace(decoderFormat, room + 256);
        converter->convert(buffer, *converted);
      },
      [held] {}, [held](const HelperError&) {});
  held.reset();
  released.get_future().wait();
  if (converter && converted)
    converter->flush(*converted);
  // The reader thread is detached: it is over once the process has no more threads than it
  // had before the input.
  for (int waited = 0; threadCount() > threadsBefore; ++waited) {
    if (waited == 5000)
      std::abort();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 0;
}
