#pragma once

#include <cstdio>
#include <string>

namespace tamber {

// The broker's built-in end-to-end check. Builds a throw-away fixture under `root` (created
// if missing; relative paths are taken from the current directory, then every symbolic link
// in it is resolved), grants real ordinary and elevated-policy grants over it, drives the
// real actions, path policy and helper-reply decoding, and runs one unprivileged /bin/sh
// command through the helper launcher's outcome mapping. Never asks for administrator
// rights. On success writes the one-line JSON report and a newline to `out` and returns;
// otherwise throws the BrokerFailure of the first check that did not hold, leaving the
// fixture as it was then. Refuses "/" and roots of fewer than three levels ("/a/b") before
// creating anything. A root can serve only one run: the first leaves its traces in the way.
void brokerSelfTest(const std::string& root, std::FILE* out = stdout);

}  // namespace tamber
