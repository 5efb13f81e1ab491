#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

namespace tamber::testing {

// The user tests switch to when they need someone other than root.
inline constexpr uid_t kNobody = 65534;

struct BinaryRun {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

struct RunOptions {
  std::optional<uid_t> user;  // switch to this user (and its group) first; needs root
  std::string directory;      // working directory; empty keeps the test's
};

// Runs argv[0] (an absolute path) with `argv`, capturing standard output and standard error.
// Used to drive the real tamber executable the way a person or the launcher would.
inline BinaryRun runBinary(const std::vector<std::string>& argv, const RunOptions& options = {}) {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    return {};
  }
  std::vector<char*> arguments;
  for (const std::string& argument : argv) {
    arguments.push_back(const_cast<char*>(argument.c_str()));
  }
  arguments.push_back(nullptr);

  const pid_t child = ::fork();
  if (child == 0) {
    // Only async-signal-safe calls from here on: the test process has other threads.
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (!options.directory.empty() && ::chdir(options.directory.c_str()) != 0) {
      ::_exit(126);
    }
    if (options.user && (::setgroups(0, nullptr) != 0 || ::setgid(*options.user) != 0 ||
                         ::setuid(*options.user) != 0)) {
      ::_exit(126);
    }
    ::execv(arguments[0], arguments.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);

  BinaryRun run;
  pollfd streams[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open = 2;
  while (open > 0) {
    if (::poll(streams, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (streams[i].fd >= 0 && streams[i].revents != 0) {
        char buffer[4096];
        const ssize_t n = ::read(streams[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          sinks[i]->append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
          ::close(streams[i].fd);
          streams[i].fd = -1;
          --open;
        }
      }
    }
  }
  int waitStatus = 0;
  while (::waitpid(child, &waitStatus, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
  return run;
}

inline std::string tamberBinary() {
  return TAMBER_BINARY_DIR "/tamber";
}

}  // namespace tamber::testing
