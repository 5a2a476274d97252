// brindlenet-peer: runs one parsed command on a core of its own.
#pragma once

#include "headless/console_ports.h"
#include "headless/headless_cli.h"
#include "headless/headless_commands.h"

namespace brindle {

// Runs a parsed command; the result is the process's exit code.
int RunHeadless(const HeadlessCommand& command, HeadlessEnvironment& environment, Console& console);

// main: parses, blocks SIGINT and SIGTERM (and for serve SIGHUP) to wait for
// them, and runs.
int HeadlessMain(int argc, char** argv);

}  // namespace brindle
