#include "DecoderConfig.h"

#include <sphinxbase/err.h>

namespace quelt {

cmd_ln_t* makeDecoderConfig(const PocketsphinxModelFiles& files) {
  // The decoder's own log lines would interleave with the helper's stderr lines.
  err_set_logfp(nullptr);
  // Dither keeps pure digital silence (a file's silent tail) from upsetting the front end;
  // best-path search gives the word posteriors that confidences are made from.
  return cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", files.acousticModel.c_str(), "-lm",
                     files.languageModel.c_str(), "-dict", files.dictionary.c_str(), "-logfn",
                     "/dev/null", "-dither", "yes", "-bestpath", "yes", nullptr);
}

} // namespace quelt
