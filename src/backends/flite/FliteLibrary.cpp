#include "FliteLibrary.h"

#include <dlfcn.h>
#include <link.h>

#include <filesystem>

namespace quelt {
namespace {

using RegisterVoice = cst_voice* (*)(const char* voiceDirectory);

template <typename Function> bool resolve(void* handle, const char* symbol, Function& function) {
  function = reinterpret_cast<Function>(::dlsym(handle, symbol));
  return function != nullptr;
}

} // namespace

const std::vector<FliteVoiceEntry>& fliteVoiceEntries() {
  // The order voices are listed in; each is named as flite's own command names it.
  static const std::vector<FliteVoiceEntry> entries = {
      {"slt", "libflite_cmu_us_slt.so.1", "register_cmu_us_slt", "slt", 2, 2},
      {"kal16", "libflite_cmu_us_kal16.so.1", "register_cmu_us_kal16", "kal16", 1, 2},
      {"awb", "libflite_cmu_us_awb.so.1", "register_cmu_us_awb", "awb", 1, 2},
      {"rms", "libflite_cmu_us_rms.so.1", "register_cmu_us_rms", "rms", 1, 2},
      {"kal", "libflite_cmu_us_kal.so.1", "register_cmu_us_kal", "kal", 1, 1},
  };
  return entries;
}

std::unique_ptr<FliteLibrary> FliteLibrary::open() {
  void* handle = ::dlopen("libflite.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!handle)
    return nullptr;
  std::unique_ptr<FliteLibrary> library(new FliteLibrary);
  library->handle_ = handle;
  FliteFunctions& f = library->functions_;
  bool complete =
      resolve(handle, "flite_init", f.init) && resolve(handle, "flite_do_synth", f.doSynth) &&
      resolve(handle, "utt_synth_tokens", f.synthTokens) &&
      resolve(handle, "new_utterance", f.newUtterance) &&
      resolve(handle, "delete_utterance", f.deleteUtterance) &&
      resolve(handle, "utt_relation_create", f.createRelation) &&
      resolve(handle, "utt_relation", f.relation) && resolve(handle, "utt_wave", f.wave) &&
      resolve(handle, "relation_append", f.append) && resolve(handle, "relation_head", f.head) &&
      resolve(handle, "item_next", f.next) && resolve(handle, "item_prev", f.prev) &&
      resolve(handle, "item_daughter", f.daughter) && resolve(handle, "item_as", f.as) &&
      resolve(handle, "item_set_string", f.setString) &&
      resolve(handle, "item_set_int", f.setInt) && resolve(handle, "item_feat_int", f.featInt) &&
      resolve(handle, "item_feat_float", f.featFloat) &&
      resolve(handle, "item_feat_present", f.featPresent) &&
      resolve(handle, "flite_get_param_val", f.paramValue) &&
      resolve(handle, "flite_feat_set_float", f.setFloat) &&
      resolve(handle, "flite_feat_remove", f.removeFeature) &&
      resolve(handle, "val_float", f.valueFloat) && resolve(handle, "val_int", f.valueInt) &&
      resolve(handle, "val_cg_db", f.clustergenModel);
  link_map* map = nullptr;
  if (!complete || ::dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name)
    return nullptr;
  library->directory_ = std::filesystem::path(map->l_name).parent_path().string();
  f.init();
  return library;
}

const FliteVoice* FliteLibrary::voice(const FliteVoiceEntry& entry) {
  auto known = voices_.find(entry.key);
  if (known != voices_.end())
    return known->second ? &*known->second : nullptr;
  std::optional<FliteVoice>& loaded = voices_[entry.key];
  // The voice's own library brings flite's English language and lexicon with it. It stays
  // loaded for the worker's life, like the voice it registers.
  void* handle = ::dlopen((directory_ + "/" + entry.library).c_str(), RTLD_NOW | RTLD_LOCAL);
  RegisterVoice registration = nullptr;
  if (!handle || !resolve(handle, entry.registration, registration))
    return nullptr;
  cst_voice* voice = registration(nullptr);
  if (!voice)
    return nullptr;
  const FliteFunctions& f = functions_;
  FliteVoice result;
  result.voice = voice;
  auto number = [&](const char* name) -> std::optional<float> {
    const cst_val* value = f.paramValue(voice->features, name, nullptr);
    if (!value)
      return std::nullopt;
    return CST_VAL_TYPE(value) == CST_VAL_TYPE_INT ? static_cast<float>(f.valueInt(value))
                                                   : f.valueFloat(value);
  };
  result.sampleRate = static_cast<int>(number("sample_rate").value_or(16000));
  result.durationStretch = number("duration_stretch").value_or(1);
  if (auto mean = number("int_f0_target_mean")) {
    result.f0InFeatures = true;
    result.f0Mean = *mean;
    result.f0Deviation = number("int_f0_target_stddev").value_or(0);
  } else if (const cst_val* model = f.paramValue(voice->features, "cg_db", nullptr)) {
    const cst_cg_db* clustergen = f.clustergenModel(model);
    result.f0Mean = clustergen->f0_mean;
    result.f0Deviation = clustergen->f0_stddev;
  }
  loaded = result;
  return &*loaded;
}

} // namespace quelt
