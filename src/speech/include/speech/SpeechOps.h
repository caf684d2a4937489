#pragma once

namespace quelt {

class Server;

// "speech.speak", "speech.stop", "speech.pause", "speech.continue", "speech.synthesize_file",
// and the shutdown hook that silences the spoken queue.
void registerSpeechOps(Server& server);

} // namespace quelt
