#pragma once

#include <flite/flite.h>
// This one header of flite's lacks the C++ guard.
extern "C" {
#include <flite/cst_cg.h>
}

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quelt {

// libflite's functions, looked up when the library is loaded. The engine module does not link
// flite: a machine without it loses only its voices, and a worker that never speaks with flite
// never maps it.
struct FliteFunctions {
  decltype(&::flite_init) init;
  decltype(&::flite_do_synth) doSynth;
  decltype(&::utt_synth_tokens) synthTokens;
  decltype(&::new_utterance) newUtterance;
  decltype(&::delete_utterance) deleteUtterance;
  decltype(&::utt_relation_create) createRelation;
  decltype(&::utt_relation) relation;
  decltype(&::utt_wave) wave;
  decltype(&::relation_append) append;
  decltype(&::relation_head) head;
  decltype(&::item_next) next;
  decltype(&::item_prev) prev;
  decltype(&::item_daughter) daughter;
  decltype(&::item_as) as;
  decltype(&::item_set_string) setString;
  decltype(&::item_set_int) setInt;
  decltype(&::item_feat_int) featInt;
  decltype(&::item_feat_float) featFloat;
  decltype(&::item_feat_present) featPresent;
  decltype(&::flite_get_param_val) paramValue;
  decltype(&::flite_feat_set_float) setFloat;
  decltype(&::flite_feat_remove) removeFeature;
  decltype(&::val_float) valueFloat;
  decltype(&::val_int) valueInt;
  decltype(&::val_cg_db) clustergenModel;
};

// A voice that Debian's flite packages install.
struct FliteVoiceEntry {
  const char* key; // flite's own name for it
  const char* library;
  const char* registration;
  const char* name;
  int gender;
  int quality;
};

const std::vector<FliteVoiceEntry>& fliteVoiceEntries();

// A registered voice and what it does when left alone.
struct FliteVoice {
  cst_voice* voice = nullptr;
  int sampleRate = 0;
  float durationStretch = 1;
  // Diphone voices carry their F0 target as features; clustergen voices in their model.
  bool f0InFeatures = false;
  float f0Mean = 0;
  float f0Deviation = 0;
};

class FliteLibrary {
public:
  // Nothing when libflite cannot be loaded.
  static std::unique_ptr<FliteLibrary> open();
  FliteLibrary(const FliteLibrary&) = delete;
  FliteLibrary& operator=(const FliteLibrary&) = delete;

  const FliteFunctions& functions() const { return functions_; }
  // Where libflite is: the voices' libraries are beside it.
  const std::string& directory() const { return directory_; }
  // Loads and registers a voice on first use; nothing when it cannot.
  const FliteVoice* voice(const FliteVoiceEntry& entry);

private:
  FliteLibrary() = default;

  void* handle_ = nullptr;
  FliteFunctions functions_{};
  std::string directory_;
  std::map<std::string, std::optional<FliteVoice>> voices_;
};

} // namespace quelt
