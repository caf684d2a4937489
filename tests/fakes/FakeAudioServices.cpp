#include "fakes/FakeAudioServices.h"

#include "platform/PlatformError.h"

#include <algorithm>
#include <fstream>

namespace quelt::fakes {
namespace {

class ScalingConverter : public AudioConverter {
public:
  ScalingConverter(const FakeAudioServices& owner, AudioFormat from, AudioFormat to)
      : owner_(owner), ratio_(to.sampleRate / from.sampleRate) {}
  bool convert(const PcmBuffer& input, PcmBuffer& output) override {
    output.setFrameLength(static_cast<uint32_t>(input.frameLength() * ratio_));
    return !owner_.failing;
  }
  bool flush(PcmBuffer& output) override {
    output.setFrameLength(0);
    return true;
  }

private:
  const FakeAudioServices& owner_;
  double ratio_;
};

class SilentFile : public AudioFileReader {
public:
  explicit SilentFile(FakeAudioServices::File file) : file_(file) {}
  AudioFormat processingFormat() const override { return file_.format; }
  int64_t length() const override { return file_.frames; }
  int64_t framePosition() const override { return position_; }
  void read(PcmBuffer& buffer, uint32_t frames) override {
    auto count = static_cast<uint32_t>(
        std::min<int64_t>({frames, buffer.frameCapacity(), file_.frames - position_}));
    buffer.setFrameLength(count);
    buffer.silence();
    position_ += count;
  }

private:
  FakeAudioServices::File file_;
  int64_t position_ = 0;
};

class RecordingWriter : public AudioFileWriter {
public:
  RecordingWriter(FakeAudioServices& owner, std::string path)
      : owner_(owner), path_(std::move(path)), file_(path_, std::ios::binary) {}
  void write(const PcmBuffer& buffer) override {
    auto& written = owner_.written[path_];
    written.frames += buffer.frameLength();
    size_t bytes =
        buffer.frameLength() * written.encoding.channels * written.encoding.bytesPerSample();
    file_ << std::string(bytes, '\0');
  }
  void close() override { file_.close(); }

private:
  FakeAudioServices& owner_;
  std::string path_;
  std::ofstream file_;
};

} // namespace

void FakeAudioServices::releaseStalled() {
  {
    std::lock_guard lock(stallMutex_);
    stallsReleased_ = true;
  }
  released_.notify_all();
}

bool FakeAudioServices::awaitStalledOpening() {
  std::unique_lock lock(stallMutex_);
  return released_.wait_for(lock, std::chrono::seconds(10),
                            [this] { return stalledOpenings_ > 0; });
}

std::unique_ptr<AudioFileReader> FakeAudioServices::openForReading(const std::string& path) {
  if (stalled.count(path)) {
    std::unique_lock lock(stallMutex_);
    ++stalledOpenings_;
    released_.notify_all();
    released_.wait(lock, [this] { return stallsReleased_; });
  }
  auto found = files.find(path);
  if (found == files.end())
    throw PlatformError("fake", 2, "No such file or directory");
  return std::make_unique<SilentFile>(found->second);
}

std::unique_ptr<AudioFileWriter> FakeAudioServices::openForWriting(const std::string& path,
                                                                   const AudioFormat& encoding,
                                                                   const AudioFormat& processing) {
  written[path] = {encoding, processing, 0};
  return std::make_unique<RecordingWriter>(*this, path);
}

std::unique_ptr<AudioConverter> FakeAudioServices::makeConverter(const AudioFormat& from,
                                                                 const AudioFormat& to) {
  if (!convertible)
    return nullptr;
  ++converters;
  return std::make_unique<ScalingConverter>(*this, from, to);
}

} // namespace quelt::fakes
