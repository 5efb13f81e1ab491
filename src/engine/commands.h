#pragma once

#include <string>

#include "engine/command_line.h"

namespace tamber::engine {

// Each command writes its result on standard output and its complaints, as one sentence
// after "larkspan: ", on standard error, and returns the exit status: 0 done, 1 failed,
// 2 the command line or its input was wrong. `program` is argv[0], used only when the
// system cannot tell where the running executable is.

// serve: the HTTP interface and the index service, until SIGTERM, SIGINT or SIGHUP; those
// end it cleanly with status 0. Must be called before any other thread exists.
int runServe(const CommandLine& line, const std::string& program);

// index: one index run of the root, kept in the data directory and printed.
int runIndex(const CommandLine& line);

// inventory: prints one folder of the index kept in the data directory ("--path"; the
// indexed folder without it): folderReport's object with --json.
int runInventory(const CommandLine& line);

// invite: prints the invitation text, or {"product", "text"} with --json.
int runInvite(const CommandLine& line, const std::string& program);

// agent: sends the request with the token of TAMBER_GRANT to the broker's socket in the data
// directory and prints the reply object, with status 0 for every reply the broker gives.
int runAgent(const CommandLine& line);

// mcp: a Model Context Protocol server on standard input and output whose tools are the
// broker's actions (sent as the agent command sends them) and the inventory; status 0 when
// its input ends.
int runMcp(const CommandLine& line);

}  // namespace tamber::engine
