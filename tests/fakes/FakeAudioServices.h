#pragma once

#include "platform/AudioServices.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

namespace quelt::fakes {

// Converters that only scale the frame count by the rate ratio; `convertible` false refuses to
// make one, `failing` makes every conversion fail. Files are not opened.
class FakeAudioServices : public AudioServices {
public:
  // Files that open: silent audio of the given format and length.
  struct File {
    AudioFormat format;
    int64_t frames = 0;
  };
  std::map<std::string, File> files;
  // Paths whose opening waits, as a named pipe's does for its writer, until releaseStalled().
  std::set<std::string> stalled;
  void releaseStalled();
  // Waits until an opening of a stalled path has begun.
  bool awaitStalledOpening();
  // What was written: each file's encoding and the frames it received. The bytes go to disk
  // too, as many as the encoding takes, so sizes can be read back.
  struct Written {
    AudioFormat encoding;
    AudioFormat processing;
    int64_t frames = 0;
  };
  std::map<std::string, Written> written;
  std::atomic<bool> convertible = true;
  std::atomic<bool> failing = false;
  std::atomic<int> converters = 0;

  std::unique_ptr<AudioFileReader> openForReading(const std::string& path) override;
  std::unique_ptr<AudioFileWriter> openForWriting(const std::string& path,
                                                  const AudioFormat& encoding,
                                                  const AudioFormat& processing) override;
  std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                const AudioFormat& to) override;

private:
  std::mutex stallMutex_;
  std::condition_variable released_;
  bool stallsReleased_ = false;
  int stalledOpenings_ = 0;
};

} // namespace quelt::fakes
