#pragma once

// The subcommands, each a short conversation with one helper.

#include "Arguments.h"
#include "quelt/client/Helper.h"

namespace quelt::client {

// Exit statuses of the client.
enum ExitStatus : int {
  exitOk = 0,
  exitFailed = 1, // the helper reported a failure, or ended early
  exitUsage = 2,  // the command line was wrong
  exitInterrupted = 130,
};

// Runs the command on a started helper and shuts the helper down afterwards.
int runCommand(Helper& helper, const Arguments& arguments);

} // namespace quelt::client
