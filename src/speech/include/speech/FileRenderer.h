#pragma once

#include "platform/AudioServices.h"
#include "protocol/OpHost.h"
#include "speech/SpeechOps.h"
#include "speech/SpeechParams.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quelt {

// The samples a render stores: 16-bit integers ("wav"), or the synthesizer's own ("caf").
enum class RenderEncoding { int16, asSynthesized };

// Renders one utterance to an audio file with a synthesizer of its own, writing blocks as they
// come, and replies once. Keeps itself alive in `active` until it has replied.
//
// The audio goes to a hidden file beside the path, renamed over it once complete: a file already
// at the path is replaced only by a whole render, two renders to one path leave one of them
// whole, and a render that fails or is abandoned leaves nothing behind.
class FileRenderer : public std::enable_shared_from_this<FileRenderer> {
public:
  // Starts the render and returns at once. On the main queue.
  static void start(OpHost& host, const SpeechServices& services, const SpeechParams& params,
                    std::string path, RenderEncoding encoding, Reply reply);

  // Renders that have not replied yet, oldest first. Main queue only.
  static std::vector<std::shared_ptr<FileRenderer>>& active();

  // The last component of a path, as errors name the file.
  static std::string fileNameOf(std::string path);

  // Ends the render without a reply and removes what it wrote (the helper is going). Main queue.
  void abandon();

private:
  FileRenderer(AudioServices& audio, std::string path, RenderEncoding encoding, Reply reply,
               std::string voiceId);

  // Blocks on their way from the synthesizer to the main queue.
  struct Flow {
    static constexpr int maxQueued = 4;
    std::mutex mutex;
    std::condition_variable room;
    int queued = 0;
    bool closed = false; // the render has ended: the synthesizer can stop
  };

  void handle(const PcmBuffer* buffer);
  void close();
  void write(const PcmBuffer& buffer);
  void finish(OpResult result);
  void discardTemporary();
  std::string fileName() const;

  AudioServices& audio_;
  std::shared_ptr<SpeechSynthesizer> synthesizer_;
  std::string path_;
  std::string temporary_;
  RenderEncoding encoding_;
  std::unique_ptr<AudioFileWriter> file_;
  int64_t frames_ = 0;
  double sampleRate_ = 0;
  int64_t channels_ = 0;
  bool done_ = false;
  Reply reply_;
  std::string voiceId_;
  std::shared_ptr<Flow> flow_ = std::make_shared<Flow>();
};

} // namespace quelt
