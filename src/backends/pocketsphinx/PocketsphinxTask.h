#pragma once

#include "LoadedModel.h"
#include "PhraseWords.h"
#include "Sentences.h"
#include "platform/AudioServices.h"
#include "platform/Pronouncer.h"
#include "platform/SpeechRecognizerService.h"

#include <pocketsphinx.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quelt {

// One recognition on a borrowed decoder. Audio is converted on the delivery thread and
// decoded on a worker thread of the task's own, so neither the capture nor the main queue
// waits for the decoder. What waits between the two is bounded: a recording's delivery is held
// back while the decoder catches up, and a live input's audio is queued up to a generous limit
// (past it, audio is dropped and stderr says so once).
class PocketsphinxTask : public RecognitionTask,
                         public std::enable_shared_from_this<PocketsphinxTask> {
public:
  using Log = std::function<void(const std::string&)>;

  // Two seconds: enough for the decoder never to wait for a recording, small enough that a
  // cancel stops it soon.
  static constexpr size_t heldBackSamples = 2 * 16000;
  // Ten minutes of live audio the decoder has not reached yet.
  static constexpr size_t liveSamples = 10 * 60 * 16000;
  // The most decoded between two looks at whether the task was cancelled.
  static constexpr size_t sliceSamples = 16000;

  // What the recognition is asked for beyond the audio.
  struct Request {
    std::string language; // the model's, BCP-47
    std::vector<std::string> contextualStrings;
    bool punctuation = false;
    bool audioMayWait = false;
  };

  PocketsphinxTask(std::shared_ptr<LoadedModel> model, std::shared_ptr<AudioServices> audio,
                   std::shared_ptr<Pronouncer> pronouncer, const Request& request, Log log,
                   RecognitionHandler handler);

  void start();

  void append(const PcmBuffer& buffer) override;
  void endAudio() override;
  void cancel() override;

private:
  // What decoding has heard so far, across the utterances the pauses cut.
  struct Hearing {
    RecognitionResult heard;
    std::string lastText;
    bool inUtterance = false;
  };

  // At least this many zero samples in a row are digital silence: 100 ms.
  static constexpr size_t digitalSilence = 1600;

  // Converters are made for the first buffer of each format and kept while it lasts; the
  // output buffer grows only for an unusually long input.
  bool convertible(const PcmBuffer& buffer);

  // Tells the segment, once its audio has ended, that its final is still being worked on.
  void stillWorking();

  // On the task's own thread: borrows a decoder, decodes, gives the decoder back.
  void run();

  // No more audio is taken; a delivery thread waiting for room goes on.
  void finishDelivery();

  // The decoder's voice activity detector finds the pauses, and each stretch of speech
  // between two of them is decoded as an utterance of its own, as pocketsphinx's continuous
  // listener does: a long segment taken as one utterance costs more (the second search pass
  // grows with it) for nothing, since the language model's sentences end at pauses anyway.
  // The segment's text is its utterances' texts joined.
  void decode(ps_decoder_t* decoder);

  // Decodes one slice of audio; true when it changed the text (a partial went out), nothing
  // when the decoder failed.
  std::optional<bool> feed(ps_decoder_t* decoder, std::span<const int16_t> samples,
                           Hearing& hearing);

  // The samples up to the last one that is not zero.
  static size_t soundLength(std::span<const int16_t> samples);
  static std::string joined(const std::string& before, const std::string& next);
  // An utterance's words as the text shows them: sentences when punctuation was asked for.
  std::string written(const char* words, bool settled) const;
  // Ends the decoder's utterance and adds its words to what was heard.
  void endUtterance(ps_decoder_t* decoder, RecognitionResult& heard) const;

  void fail(const std::string& description);

  std::shared_ptr<LoadedModel> model_;
  std::shared_ptr<AudioServices> audio_;
  std::shared_ptr<Pronouncer> pronouncer_;
  const std::string language_;
  const std::vector<std::vector<PhraseWord>> phrases_;
  const std::optional<Sentences> sentences_;
  const bool mayWait_;
  Log log_;
  RecognitionHandler handler_;

  std::mutex conversionMutex_; // the delivery thread's, against a stray second caller
  AudioFormat sourceFormat_;
  std::unique_ptr<AudioConverter> converter_;
  std::optional<PcmBuffer> converted_;

  std::mutex mutex_;
  std::condition_variable wake_; // the decoder: audio came, or the audio or the task ended
  std::condition_variable room_; // a held-back delivery: the decoder took what was waiting
  std::vector<int16_t> pending_;
  size_t appending_ = 0; // deliveries between taking their audio and queueing it
  bool ended_ = false;
  bool cancelled_ = false;
  bool done_ = false; // decoding is over: nothing more is taken
  bool overflowReported_ = false;
  // cancelled_ for the wait for a decoder, which is the model's, not under mutex_.
  std::atomic<bool> abandoned_ = false;
  std::atomic<bool> audioEnded_ = false;
};

} // namespace quelt
