#pragma once

#include "platform/SynthesizerService.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace quelt {

// The worker's hello and its jobs travel as JSON objects.
using Json = nlohmann::json;

struct CatalogueVoice {
  VoiceInfo info; // identified as "<engine>:<key>"
  std::string engine;
  std::string key;  // the engine's own name for it
  int priority = 0; // the engine's preference for its language, lower first
};

// What the engines offer, as a worker reported it when it started.
struct Catalogue {
  std::vector<std::string> engines; // in the worker's order, the first one the default
  std::vector<CatalogueVoice> voices;
  Json watch = Json::array(); // the directories whose changes matter, as the hello gave them
  uint64_t signature = 0;     // of those directories when it was read
};

// The catalogue in a worker's hello (see WorkerFrame::hello), without its signature.
Catalogue catalogueFrom(const Json& hello);

// Changes whenever an entry is added to or removed from one of the watched directories (or,
// for a tree, their subdirectories): a directory's own times change with its entries.
uint64_t watchedSignature(const Json& watch);

} // namespace quelt
