// Renders a sentence to a WAV file with the helper, then transcribes the file back.

#include <quelt/client/Helper.h>

#include <filesystem>
#include <iostream>
#include <unistd.h>

namespace client = quelt::client;
namespace ops = quelt::ops;
namespace events = quelt::events;

int main() {
  auto directory =
      std::filesystem::temp_directory_path() / ("quelt-cpp-client-" + std::to_string(::getpid()));
  try {
    // $QUELT_VOICE_HELPER, else the helper beside this program, else the one on PATH.
    client::Helper helper;
    std::cout << "helper " << helper.greeting()["version"].get<std::string>() << ", protocol "
              << helper.greeting()["protocol"] << '\n';

    client::Json voices = helper.call(ops::voicesList)["voices"];
    std::cout << voices.size() << " voices\n";

    std::filesystem::create_directories(directory);
    std::string wav = (directory / "sentence.wav").string();
    client::Json rendered = helper.call(
        ops::speechSynthesizeFile,
        {{"text", "Open the door and turn on the light."}, {"path", wav}, {"format", "wav"}});
    std::cout << "rendered " << rendered["duration_seconds"] << " s with voice "
              << rendered["voice"].get<std::string>() << '\n';

    helper.call(ops::captureStart, {{"capture", 1}, {"source", {{"kind", "file"}, {"path", wav}}}});
    std::string heard;
    for (;;) {
      client::Incoming in = helper.next(std::chrono::seconds(60));
      if (in.kind != client::Incoming::Kind::message)
        throw client::Failure("the capture did not end");
      std::string event = in.message.value("event", "");
      if (event == events::captureFinal)
        heard += in.message.value("text", "");
      else if (event == events::captureFailed)
        throw client::RequestFailed(client::Error::fromJson(in.message["error"]));
      else if (event == events::captureStopped)
        break;
    }
    std::cout << "heard: " << heard << '\n';
    std::filesystem::remove_all(directory);
    bool exitedCleanly = helper.shutdown();
    return exitedCleanly && !heard.empty() ? 0 : 1;
  } catch (const std::exception& error) {
    // A RequestFailed reads "CODE: MESSAGE"; its error() has the other fields.
    std::cerr << "quelt-cpp-client: " << error.what() << '\n';
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
    return 1;
  }
}
