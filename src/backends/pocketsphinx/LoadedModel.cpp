#include "LoadedModel.h"

#include "DecoderConfig.h"
#include "ModelCheck.h"

#include <chrono>
#include <malloc.h>
#include <map>

namespace quelt {

LoadedModel::LoadedModel(const PocketsphinxModelFiles& files, const std::string& checker,
                         const std::string& checkedModels) {
  if (!modelPassesCheck(files, checker, checkedModels))
    return;
  config_ = makeDecoderConfig(files);
  if (!config_)
    return;
  if (ps_decoder_t* first = ps_init(config_)) {
    idle_.push_back(first);
    live_ = 1;
  }
}

LoadedModel::~LoadedModel() {
  for (ps_decoder_t* decoder : idle_)
    ps_free(decoder);
  if (config_)
    cmd_ln_free_r(config_);
}

ps_decoder_t* LoadedModel::acquire(const std::atomic<bool>& abandoned,
                                   const std::function<void()>& stillWaiting) {
  std::unique_lock lock(mutex_);
  ++waiting_;
  auto ready = [&] { return abandoned || !idle_.empty() || live_ < maxDecoders; };
  while (!freed_.wait_for(lock, std::chrono::seconds(1), ready)) {
    lock.unlock();
    stillWaiting();
    lock.lock();
  }
  --waiting_;
  if (abandoned)
    return nullptr;
  if (!idle_.empty()) {
    ps_decoder_t* decoder = idle_.back();
    idle_.pop_back();
    return decoder;
  }
  ++live_;
  lock.unlock();
  ps_decoder_t* made = nullptr;
  {
    std::lock_guard making(configMutex_);
    made = ps_init(config_);
  }
  if (!made) {
    lock.lock();
    --live_;
    freed_.notify_one();
  }
  return made;
}

void LoadedModel::release(ps_decoder_t* decoder) {
  {
    std::lock_guard lock(mutex_);
    if (waiting_ > 0 || idle_.size() < maxIdleDecoders) {
      idle_.push_back(decoder);
      decoder = nullptr;
    }
  }
  if (!decoder) {
    freed_.notify_one();
    return;
  }
  discard(decoder);
}

void LoadedModel::discard(ps_decoder_t* decoder) {
  {
    std::lock_guard lock(mutex_);
    --live_;
  }
  freed_.notify_one();
  {
    std::lock_guard freeing(configMutex_);
    ps_free(decoder);
  }
  // The allocator keeps what a decoder freed for later use in whichever arena its thread had,
  // so a burst of captures would leave the helper that much bigger for good.
  ::malloc_trim(0);
}

void LoadedModel::withConfig(const std::function<void(cmd_ln_t*)>& use) {
  std::lock_guard lock(configMutex_);
  use(config_);
}

void LoadedModel::wake() {
  std::lock_guard lock(mutex_);
  freed_.notify_all();
}

std::shared_ptr<LoadedModel> loadModel(const PocketsphinxModelFiles& files,
                                       const std::string& checker,
                                       const std::string& checkedModels) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<LoadedModel>> loaded;
  std::lock_guard lock(mutex);
  auto& slot = loaded[files.acousticModel];
  if (!slot) {
    auto model = std::make_shared<LoadedModel>(files, checker, checkedModels);
    if (!model->loaded())
      return nullptr; // not kept: the files may be repaired or installed later
    slot = model;
  }
  return slot;
}

} // namespace quelt
