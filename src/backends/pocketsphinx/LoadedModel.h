#pragma once

#include "pocketsphinx/PocketsphinxRecognizerService.h"

#include <pocketsphinx.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quelt {

// A loaded model: its configuration and a pool of decoders on it. Decoders are not
// thread-safe, so each running recognition borrows one and gives it back when done. Each one
// holds about 90 MB with the en-US model and takes half a second to make, so a burst of
// captures must not leave dozens behind: a few idle ones are kept for the next segments, and
// past a ceiling a recognition waits, its audio queued, until another gives one back.
class LoadedModel {
public:
  static constexpr size_t maxDecoders = 8;
  static constexpr size_t maxIdleDecoders = 2;

  LoadedModel(const PocketsphinxModelFiles& files, const std::string& checker,
              const std::string& checkedModels);
  ~LoadedModel();
  LoadedModel(const LoadedModel&) = delete;
  LoadedModel& operator=(const LoadedModel&) = delete;

  bool loaded() const { return config_ && !idle_.empty(); }

  // Waits for a decoder to borrow, calling `stillWaiting` every second meanwhile. Null when
  // `abandoned` turns true first (checked again on every wake()), or when a further decoder
  // cannot be made.
  ps_decoder_t* acquire(const std::atomic<bool>& abandoned,
                        const std::function<void()>& stillWaiting);
  void release(ps_decoder_t* decoder);
  // Frees a borrowed decoder that must not serve again (its dictionary or searches were
  // changed for one capture); a new one is made when needed.
  void discard(ps_decoder_t* decoder);
  void wake();

  // Runs `use` with the configuration the decoders share, alone with it: whatever reads it or
  // counts references to it (a decoder's search, a language model read by its settings).
  void withConfig(const std::function<void(cmd_ln_t*)>& use);

private:
  cmd_ln_t* config_ = nullptr;
  // Every decoder shares the configuration: ps_init writes into it and ps_init and ps_free
  // count references to it without atomics, so one decoder is made or freed at a time.
  std::mutex configMutex_;
  std::mutex mutex_;
  std::condition_variable freed_;
  std::vector<ps_decoder_t*> idle_;
  size_t live_ = 0;
  size_t waiting_ = 0;
};

// Loading takes a noticeable moment and a good deal of memory, so each model loads once. Null
// when it does not load.
std::shared_ptr<LoadedModel> loadModel(const PocketsphinxModelFiles& files,
                                       const std::string& checker,
                                       const std::string& checkedModels);

} // namespace quelt
