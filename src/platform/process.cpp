#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <initializer_list>
#include <thread>

#include "platform/fd_io.h"

extern char** environ;

namespace tamber {
namespace {

using Clock = std::chrono::steady_clock;

// A waitpid status as a shell reports it: the exit status, or 128 + the signal number.
int exitStatusOf(int waitStatus) {
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

std::vector<std::string> environmentWith(const EnvironmentChanges& changes) {
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text = *entry;
    const std::string_view name = text.substr(0, text.find('='));
    const bool changed = std::any_of(changes.begin(), changes.end(),
                                     [&](const auto& change) { return change.first == name; });
    if (!changed) {
      entries.emplace_back(text);
    }
  }
  for (const auto& [name, value] : changes) {
    if (value) {
      entries.push_back(name + "=" + *value);
    }
  }
  return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& text : strings) {
    pointers.push_back(text.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

// posix_spawn's file actions and attributes, owned for one start.
class SpawnPlan {
 public:
  SpawnPlan() {
    ::posix_spawn_file_actions_init(&actions_);
    ::posix_spawnattr_init(&attributes_);
  }
  SpawnPlan(const SpawnPlan&) = delete;
  SpawnPlan& operator=(const SpawnPlan&) = delete;
  ~SpawnPlan() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attributes_);
  }

  void step(int result) {
    if (error_ == 0) {
      error_ = result;
    }
  }
  int error() const { return error_; }
  posix_spawn_file_actions_t* actions() { return &actions_; }
  posix_spawnattr_t* attributes() { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
  int error_ = 0;
};

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options) {
  assert(!argv.empty() && argv.front().starts_with('/'));
  SpawnPlan plan;
  // The child's end of each stream: a pipe end made here, or the caller's descriptor. They
  // are copied onto 0, 1 and 2 before any /dev/null is opened there, so a descriptor that
  // happens to be 0, 1 or 2 in this process is copied before it is replaced.
  UniqueFd childEnds[3];
  const ChildStream* streams[3] = {&options.input, &options.output, &options.errors};
  UniqueFd* parentEnds[3] = {&input_, &output_, &errors_};
  for (int target = 0; target < 3; ++target) {
    const ChildStream& stream = *streams[target];
    int source = -1;
    if (stream.kind == ChildStream::Kind::pipe) {
      int ends[2];
      if (::pipe2(ends, O_CLOEXEC) != 0) {
        startError_ = errno;
        return;
      }
      UniqueFd readEnd(ends[0]);
      UniqueFd writeEnd(ends[1]);
      childEnds[target] = std::move(target == 0 ? readEnd : writeEnd);
      *parentEnds[target] = std::move(target == 0 ? writeEnd : readEnd);
      source = childEnds[target].get();
    } else if (stream.kind == ChildStream::Kind::descriptor) {
      source = stream.fd;
    }
    if (source >= 0) {
      plan.step(::posix_spawn_file_actions_adddup2(plan.actions(), source, target));
    }
  }
  for (int target = 0; target < 3; ++target) {
    if (streams[target]->kind == ChildStream::Kind::nullDevice) {
      plan.step(::posix_spawn_file_actions_addopen(plan.actions(), target, "/dev/null",
                                                   target == 0 ? O_RDONLY : O_WRONLY, 0));
    }
  }
  plan.step(::posix_spawn_file_actions_addclosefrom_np(plan.actions(), 3));

  sigset_t none;
  ::sigemptyset(&none);
  sigset_t defaults;
  ::sigemptyset(&defaults);
  for (int caught :
       {SIGPIPE, SIGALRM, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGCHLD, SIGUSR1, SIGUSR2}) {
    ::sigaddset(&defaults, caught);
  }
  plan.step(::posix_spawnattr_setsigmask(plan.attributes(), &none));
  plan.step(::posix_spawnattr_setsigdefault(plan.attributes(), &defaults));
  plan.step(::posix_spawnattr_setflags(plan.attributes(),
                                       POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
  if (plan.error() != 0) {
    startError_ = plan.error();
    return;
  }

  std::vector<std::string> arguments = argv;
  std::vector<char*> argumentPointers = pointersTo(arguments);
  std::vector<std::string> environment = environmentWith(options.environment);
  std::vector<char*> environmentPointers = pointersTo(environment);
  // glibc reports a failed exec (a missing program) here too, not as exit status 127.
  const int spawned = ::posix_spawn(&pid_, argv.front().c_str(), plan.actions(), plan.attributes(),
                                    argumentPointers.data(), environmentPointers.data());
  if (spawned != 0) {
    pid_ = -1;
    startError_ = spawned;
    input_.reset();
    output_.reset();
    errors_.reset();
  }
  // The child ends close here: a reader of our output pipe sees its end when the child's go.
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      startError_(other.startError_),
      status_(other.status_),
      input_(std::move(other.input_)),
      output_(std::move(other.output_)),
      errors_(std::move(other.errors_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    if (pid_ > 0) {
      stop();
    }
    pid_ = std::exchange(other.pid_, -1);
    startError_ = other.startError_;
    status_ = other.status_;
    input_ = std::move(other.input_);
    output_ = std::move(other.output_);
    errors_ = std::move(other.errors_);
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    stop();
  }
}

bool ChildProcess::reap(bool block) {
  if (pid_ <= 0) {
    return true;
  }
  int waitStatus = 0;
  rusage usage{};
  pid_t waited;
  do {
    waited = ::wait4(pid_, &waitStatus, block ? 0 : WNOHANG, &usage);
  } while (waited < 0 && errno == EINTR);
  if (waited == 0) {
    return false;
  }
  if (waited == pid_) {
    status_ = exitStatusOf(waitStatus);
    peakResidentKilobytes_ = usage.ru_maxrss;
  }
  pid_ = -1;  // reaped, by us or by someone else: never signalled again
  return true;
}

bool ChildProcess::running() {
  return !reap(/*block=*/false);
}

void ChildProcess::signal(int signal) {
  if (running()) {
    ::kill(pid_, signal);
  }
}

std::optional<int> ChildProcess::wait(std::optional<std::chrono::milliseconds> limit) {
  if (!limit) {
    reap(/*block=*/true);
    return status_;
  }
  // No descriptor tells of a child's end without a SIGCHLD handler, which is the process's
  // to own; a short sleep between looks costs little for the waits this is used for.
  const Clock::time_point deadline = Clock::now() + *limit;
  while (running()) {
    if (Clock::now() >= deadline) {
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return status_;
}

std::optional<int> ChildProcess::stop(std::chrono::milliseconds grace) {
  signal(SIGTERM);
  if (const std::optional<int> status = wait(grace)) {
    return status;
  }
  signal(SIGKILL);  // cannot be caught, so the wait ends
  return wait();
}

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  constexpr int kCouldNotStart = 127;
  using Errors = ProcessOptions::Errors;
  const Clock::time_point deadline =
      options.timeLimit ? Clock::now() + *options.timeLimit : Clock::time_point::max();
  ChildOptions childOptions;
  childOptions.environment = options.environment;
  childOptions.output = ChildStream::toPipe();
  childOptions.errors = options.errors == Errors::capture   ? ChildStream::toPipe()
                        : options.errors == Errors::inherit ? ChildStream::inherit()
                                                            : ChildStream::toNullDevice();
  ChildProcess child(argv, childOptions);
  ProcessResult result;
  if (child.startError() != 0) {
    result.status = kCouldNotStart;
    result.startError = child.startError();
    return result;
  }

  // Both captured streams are read as they come, so a child never blocks on either pipe.
  pollfd streams[2] = {{child.output().get(), POLLIN, 0}, {child.errors().get(), POLLIN, 0}};
  std::string* sinks[2] = {&result.output, &result.errors};
  char buffer[65536];
  while (streams[0].fd >= 0 || streams[1].fd >= 0) {
    int wait = -1;
    if (options.timeLimit) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      wait = static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
    }
    const int ready = ::poll(streams, 2, wait);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready == 0 || ready < 0) {
      break;  // the time limit passed (or poll failed): the wait below settles the end
    }
    for (int i = 0; i < 2; ++i) {
      if (streams[i].fd >= 0 && streams[i].revents != 0) {
        const ssize_t count = readSome(streams[i].fd, buffer, sizeof buffer);
        if (count <= 0) {
          streams[i].fd = -1;
          continue;
        }
        const size_t room = kMaxCapturedOutput - std::min(kMaxCapturedOutput, sinks[i]->size());
        sinks[i]->append(buffer, std::min(room, static_cast<size_t>(count)));
      }
    }
  }

  // The output is closed; the exit normally follows at once, but a child may close its output
  // and linger, so the wait is bounded by the same deadline.
  std::optional<int> status;
  if (options.timeLimit) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    status = child.wait(std::max(left, std::chrono::milliseconds(0)));
    if (!status && child.running()) {
      child.signal(SIGKILL);
      child.wait();
      result.timedOut = true;
    }
  } else {
    status = child.wait();
  }
  result.status = status.value_or(-1);
  return result;
}

}  // namespace tamber
