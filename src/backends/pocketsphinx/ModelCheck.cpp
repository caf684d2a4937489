#include "ModelCheck.h"

#include "DecoderConfig.h"
#include "platform/ChildProcess.h"
#include "platform/EngineModule.h"
#include "pocketsphinx/CheckedModels.h"

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace quelt {
namespace {

// pocketsphinx ends the whole process when a model file is malformed, so a model is first
// loaded by another process; only one that loads there is loaded here. That process is a
// program started afresh, not a fork of this one, which could inherit a lock that another of
// its threads held (the allocator's, under the sanitizers) and wait on it for good.
bool loadsElsewhere(const PocketsphinxModelFiles& files, const std::string& checker) {
  try {
    // Nothing of the protocol's streams for the checker.
    ChildProcess check(
        {checker, std::string(pocketsphinxModelCheck), std::to_string(::getpid()),
         files.acousticModel, files.languageModel, files.dictionary},
        {.input = ChildProcess::null, .output = ChildProcess::null, .error = ChildProcess::null});
    return exitedWithZero(check.wait());
  } catch (const PlatformError&) {
    return false;
  }
}

} // namespace

bool modelPassesCheck(const PocketsphinxModelFiles& files, const std::string& checker,
                      const std::string& checkedModels) {
  // The check costs a whole load of the model, so a model that passed is not checked again.
  if (!checkedModels.empty() && modelCheckedBefore(checkedModels, files))
    return true;
  if (!loadsElsewhere(files, checker))
    return false;
  if (!checkedModels.empty())
    rememberModelChecked(checkedModels, files);
  return true;
}

void checkPocketsphinxModelIfAsked(int argc, char** argv) {
  if (argc != 6 || argv[1] != pocketsphinxModelCheck)
    return;
  // A checker whose helper has gone has nobody to answer.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (std::to_string(::getppid()) != argv[2])
    ::_exit(1);
  PocketsphinxModelFiles files{"", argv[3], argv[4], argv[5]};
  cmd_ln_t* config = makeDecoderConfig(files);
  // _exit: the verdict is the status alone, with no leak check or other exit work of a
  // sanitizer build changing it.
  ::_exit(config && ps_init(config) ? 0 : 1);
}

} // namespace quelt
