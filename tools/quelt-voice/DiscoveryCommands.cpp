// devices, voices, locales and status.

#include "Conversation.h"
#include "Languages.h"

#include <algorithm>
#include <iostream>

namespace quelt::client {

int Conversation::devices() {
  int status = exitOk;
  auto result = call(ops::devicesList, Json::object(), status);
  if (!result || args_.json)
    return status;
  const Json& list = (*result)["devices"];
  helper_.drainLog();
  if (list.empty() && !soundServerFailure_.empty()) {
    std::cerr << soundServerHint;
    return exitFailed;
  }
  if (list.empty())
    std::cout << "no recording devices\n";
  for (const Json& device : list) {
    std::cout << (device.value("is_default", false) ? "* " : "  ") << device.value("uid", "")
              << "  " << device.value("name", "") << "  (" << device.value("input_channels", 0)
              << " ch, " << number(device.value("sample_rate", 0.0), 0) << " Hz";
    if (device.contains("transport"))
      std::cout << ", " << device.value("transport", "");
    if (device.contains("manufacturer"))
      std::cout << ", " << device.value("manufacturer", "");
    std::cout << ")\n";
  }
  return exitOk;
}

int Conversation::voices() {
  int status = exitOk;
  auto wanted = args_.text("language");
  auto result = call(ops::voicesList, Json::object(), status, !wanted);
  if (!result)
    return status;
  std::vector<Json> shown;
  for (const Json& voice : (*result)["voices"])
    if (!wanted || languageCovers(*wanted, voice.value("language", "")))
      shown.push_back(voice);
  // Filtered, the reply is printed as the helper would have given it for these voices.
  if (args_.json) {
    if (wanted)
      std::cout << Json{{"id", 1}, {"ok", true}, {"result", {{"voices", shown}}}}.dump() << '\n';
    return exitOk;
  }
  std::vector<std::vector<std::string>> rows = {{"ID", "LANGUAGE", "NAME", "GENDER", "QUALITY"}};
  for (const Json& voice : shown) {
    std::string quality = voice.value("quality", "");
    if (voice.value("is_novelty", false))
      quality += ", novelty";
    if (voice.value("is_personal", false))
      quality += ", personal";
    rows.push_back({voice.value("id", ""), voice.value("language", ""), voice.value("name", ""),
                    voice.value("gender", ""), quality});
  }
  if (!shown.empty())
    printTable(rows);
  if (shown.empty())
    std::cout << "no voices" << (wanted ? " for " + *wanted : std::string()) << '\n';
  return exitOk;
}

// Columns as wide as their widest cell (in code points, enough for names like "Māori").
void Conversation::printTable(const std::vector<std::vector<std::string>>& rows) {
  auto width = [](const std::string& text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
      return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
  };
  std::vector<size_t> widths;
  for (const auto& row : rows)
    for (size_t i = 0; i < row.size(); ++i) {
      widths.resize(std::max(widths.size(), row.size()));
      widths[i] = std::max(widths[i], width(row[i]));
    }
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i)
      line += row[i] + (i + 1 < row.size() ? std::string(widths[i] - width(row[i]) + 2, ' ') : "");
    std::cout << line << '\n';
  }
}

int Conversation::locales() {
  int status = exitOk;
  auto result = call(ops::localesList, Json::object(), status);
  if (!result || args_.json)
    return status;
  for (const Json& locale : (*result)["locales"]) {
    std::cout << locale.value("identifier", "");
    for (const auto& [key, value] : locale.items())
      if (key != "identifier")
        std::cout << "  " << key << "="
                  << (value.is_string() ? value.get<std::string>() : value.dump());
    std::cout << '\n';
  }
  return exitOk;
}

// What the helper can do here, and what stands in the way of anything it cannot.
int Conversation::status() {
  int status = exitOk;
  auto hello = call(ops::hello, Json::object(), status);
  if (!hello)
    return status;
  auto permissions = call(ops::authorizationStatus, Json::object(), status);
  if (!permissions)
    return status;
  auto voices = call(ops::voicesList, Json::object(), status);
  if (!voices)
    return status;
  auto locales = call(ops::localesList, Json::object(), status);
  if (!locales)
    return status;
  auto devices = call(ops::devicesList, Json::object(), status);
  if (!devices)
    return status;
  helper_.drainLog();
  bool engines = enginesFailure_.empty();
  if (args_.json)
    return engines ? exitOk : exitFailed;
  std::string defaultDevice;
  for (const Json& device : (*devices)["devices"])
    if (device.value("is_default", false))
      defaultDevice = device.value("uid", "");
  size_t deviceCount = (*devices)["devices"].size();
  std::cout << "quelt-voice-helper " << hello->value("version", "") << " (protocol "
            << hello->value("protocol", 0) << "), pid " << hello->value("pid", 0) << ", OS "
            << hello->value("os_version", "") << '\n'
            << "engines: " << (engines ? "loaded" : "unavailable: " + enginesFailure_) << '\n'
            << "voices: " << (*voices)["voices"].size() << '\n'
            << "recognition locales: " << localeNames((*locales)["locales"]) << '\n'
            << "recording devices: " << deviceCount
            << (defaultDevice.empty() ? "" : ", default " + defaultDevice)
            << (soundServerFailure_.empty() ? "" : " (" + soundServerFailure_ + ")") << '\n'
            << "speech analyzer: " << (hello->value("speech_analyzer", false) ? "yes" : "no")
            << '\n'
            << "microphone permission: " << permissions->value("microphone", "") << '\n'
            << "speech permission: " << permissions->value("speech", "") << '\n';
  if (!engines)
    return enginesMissing();
  return exitOk;
}

} // namespace quelt::client
