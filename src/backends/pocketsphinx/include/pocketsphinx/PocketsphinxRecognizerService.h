#pragma once

#include "platform/AudioServices.h"
#include "platform/Pronouncer.h"
#include "platform/SpeechRecognizerService.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quelt {

// One installed pocketsphinx model, as Debian lays it out: <root>/<tag>/ holds the acoustic
// model directory <tag>/, the language model <tag>.lm.bin and a pronunciation dictionary.
struct PocketsphinxModelFiles {
  std::string locale; // BCP-47, from the directory name ("en-us" -> "en-US")
  std::string acousticModel;
  std::string languageModel;
  std::string dictionary;
};

std::vector<PocketsphinxModelFiles> findPocketsphinxModels(const std::string& root);

// pocketsphinx ends the process that loads a malformed model, so a model is tried by another
// process first: a checker program run as
//   <checker> --check-pocketsphinx-model <parent pid> <acoustic model> <language model>
//   <dictionary>
// that exits with 0 when the model loads. The helper is its own checker
// (`pocketsphinxModelCheck`).
// The checker's side, for its main(): when the arguments ask for a check, runs it and ends the
// process with the verdict; otherwise returns.
void checkPocketsphinxModelIfAsked(int argc, char** argv);

// The classic recognizer on pocketsphinx: a locale is supported when its model is installed,
// recognition is always on the device, and a recognizer is available once its model loads.
// Models load on first use and stay loaded, shared by every recognizer of the process; each
// running recognition borrows a decoder of its own from the model's pool. Audio in any format
// is converted to what the models take (16 kHz mono 16-bit) with `audio`'s converters.
//
// With punctuation asked for, each stretch of speech between pauses comes back as a sentence
// ("What is the weather like today?"). Contextual strings bias the decoding towards their
// phrases; their words that the model's dictionary lacks are pronounced by `pronouncer`.
class PocketsphinxRecognizerService : public SpeechRecognizerService {
public:
  // `checker` is the program that tries each model first (the helper itself).
  // With `checkedModels`, a directory, a model that passed its check is remembered there with
  // the state of its files, and not checked again by later processes until a file changes
  // (see CheckedModels.h).
  explicit PocketsphinxRecognizerService(std::shared_ptr<AudioServices> audio,
                                         std::string modelRoot, std::string checker,
                                         std::string checkedModels = "",
                                         std::function<void(const std::string&)> log = {},
                                         std::shared_ptr<Pronouncer> pronouncer = nullptr);

  std::vector<std::string> supportedLocales() override;
  std::shared_ptr<SpeechRecognizer> makeRecognizer(const std::string& locale) override;

private:
  std::shared_ptr<AudioServices> audio_;
  std::string modelRoot_;
  std::string checker_;
  std::string checkedModels_;
  std::function<void(const std::string&)> log_;
  std::shared_ptr<Pronouncer> pronouncer_;
};

} // namespace quelt
