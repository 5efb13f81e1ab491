#pragma once

// Drives the real larkspan executable: one-shot runs with captured output, a serving engine
// on a free loopback port, and a minimal HTTP client that can send what browsers won't.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/reply.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace tamber::testing {

inline std::string larkspanBinary() {
  return TAMBER_BINARY_DIR "/larkspan";
}

struct LarkspanRun {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// The test's environment with `set` applied (a value of nullopt removes the variable).
inline std::vector<std::string> environmentWith(
    const std::map<std::string, std::optional<std::string>>& set) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    if (set.count(name) == 0) {
      result.push_back(text);
    }
  }
  for (const auto& [name, value] : set) {
    if (value) {
      result.push_back(name + "=" + *value);
    }
  }
  return result;
}

inline std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (std::string& text : strings) {
    result.push_back(text.data());
  }
  result.push_back(nullptr);
  return result;
}

// Starts the program at the absolute path argv[0] with `environment`; standard input is
// /dev/null, and standard output and error go to the given descriptors (-1: /dev/null).
// Returns the pid.
inline pid_t spawnProgram(std::vector<std::string> arguments, std::vector<std::string> environment,
                          int out = -1, int err = -1) {
  std::vector<char*> argv = pointers(arguments);
  std::vector<char*> envp = pointers(environment);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (out >= 0) {
    posix_spawn_file_actions_adddup2(&actions, out, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  if (err >= 0) {
    posix_spawn_file_actions_adddup2(&actions, err, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return failed == 0 ? pid : -1;
}

// Starts larkspan with `arguments` (the program itself not included), as spawnProgram does.
inline pid_t spawnLarkspan(std::vector<std::string> arguments, std::vector<std::string> environment,
                           int out = -1, int err = -1) {
  arguments.insert(arguments.begin(), larkspanBinary());
  return spawnProgram(std::move(arguments), std::move(environment), out, err);
}

inline int exitStatusOf(int waitStatus) {
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

// Runs the program at the absolute path argv[0] to its end and returns what it printed.
inline LarkspanRun runProgram(
    const std::vector<std::string>& arguments,
    const std::map<std::string, std::optional<std::string>>& environment = {}) {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return {};
  }
  UniqueFd outRead(out[0]), outWrite(out[1]), errRead(err[0]), errWrite(err[1]);
  const pid_t pid =
      spawnProgram(arguments, environmentWith(environment), outWrite.get(), errWrite.get());
  outWrite.reset();
  errWrite.reset();
  LarkspanRun run;
  if (pid < 0) {
    ADD_FAILURE() << "could not start " << arguments.front();
    return run;
  }
  pollfd streams[2] = {{outRead.get(), POLLIN, 0}, {errRead.get(), POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open = 2;
  while (open > 0) {
    if (::poll(streams, 2, 10000) <= 0) {
      ADD_FAILURE() << "larkspan did not finish";
      ::kill(pid, SIGKILL);
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (streams[i].fd >= 0 && streams[i].revents != 0) {
        char buffer[4096];
        const ssize_t n = ::read(streams[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          sinks[i]->append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
          streams[i].fd = -1;
          --open;
        }
      }
    }
  }
  int waitStatus = 0;
  while (::waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
  }
  run.status = exitStatusOf(waitStatus);
  return run;
}

// Runs larkspan with `arguments` (the program itself not included) to its end.
inline LarkspanRun runLarkspan(
    const std::vector<std::string>& arguments,
    const std::map<std::string, std::optional<std::string>>& environment = {}) {
  std::vector<std::string> argv = arguments;
  argv.insert(argv.begin(), larkspanBinary());
  return runProgram(argv, environment);
}

struct HttpReply {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  std::string header(const std::string& name) const {
    auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
  }
};

// One HTTP/1.1 exchange on its own connection. `host` replaces the Host header's value;
// `extra` are further header lines ("Name: value").
inline HttpReply httpRequest(int port, const std::string& method, const std::string& path,
                             const std::vector<std::string>& extra = {},
                             std::optional<std::string> host = std::nullopt) {
  HttpReply reply;
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return reply;
  }
  timeval limit{5, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string request = method + " " + path +
                        " HTTP/1.1\r\nHost: " + host.value_or("127.0.0.1:" + std::to_string(port)) +
                        "\r\nConnection: close\r\n";
  if (method == "POST" || method == "PUT" || method == "PATCH") {
    request += "Content-Length: 0\r\n";
  }
  for (const std::string& line : extra) {
    request += line + "\r\n";
  }
  request += "\r\n";
  if (::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    return reply;
  }
  std::string raw;
  char buffer[16384];
  for (ssize_t n; (n = ::read(fd.get(), buffer, sizeof buffer)) > 0;) {
    raw.append(buffer, static_cast<size_t>(n));
  }
  const size_t headerEnd = raw.find("\r\n\r\n");
  if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || headerEnd == std::string::npos) {
    return reply;
  }
  reply.status = std::stoi(raw.substr(9, 3));
  size_t at = raw.find("\r\n") + 2;
  while (at < headerEnd) {
    const size_t end = raw.find("\r\n", at);
    const std::string line = raw.substr(at, end - at);
    const size_t colon = line.find(':');
    std::string name = line.substr(0, colon);
    for (char& c : name) {
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    reply.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
    at = end + 2;
  }
  reply.body = raw.substr(headerEnd + 4);
  return reply;
}

// A loopback port that was free a moment ago.
inline int freePort() {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  return ntohs(address.sin_port);
}

// The page's secret kept in `data`, as the cookie header line that carries it; empty when
// there is none.
inline std::string secretCookie(const std::string& data) {
  std::string secret;
  if (FILE* file = std::fopen((data + "/page-secret").c_str(), "re")) {
    char text[80] = "";
    if (std::fgets(text, sizeof text, file) != nullptr) {
      secret = text;
    }
    std::fclose(file);
  }
  while (!secret.empty() && secret.back() == '\n') {
    secret.pop_back();
  }
  return secret.empty() ? std::string() : "Cookie: larkspan_page=" + secret;
}

// `headers` and, when `data` keeps one, the page's secret.
inline std::vector<std::string> withSecret(const std::string& data,
                                           std::vector<std::string> headers = {}) {
  if (const std::string cookie = secretCookie(data); !cookie.empty()) {
    headers.push_back(cookie);
  }
  return headers;
}

// `larkspan --data DATA --root ROOT serve` on a free port, for the life of the object.
class ServingEngine {
 public:
  ServingEngine(const std::string& data, const std::string& root, int intervalSeconds = 3600)
      : data_(data) {
    // Another test may take the port between our probe and the engine's bind; then the
    // engine exits at once and we try another.
    for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) {
      port_ = freePort();
      pid_ = spawnLarkspan({"--data", data, "--root", root, "serve", "--port",
                            std::to_string(port_), "--interval", std::to_string(intervalSeconds)},
                           environmentWith({}));
      if (!answers(root)) {
        terminate();
        pid_ = -1;
      }
    }
    if (pid_ < 0) {
      ADD_FAILURE() << "larkspan serve did not come up";
    }
  }
  ServingEngine(const ServingEngine&) = delete;
  ServingEngine& operator=(const ServingEngine&) = delete;
  ~ServingEngine() {
    if (pid_ > 0) {
      terminate();
    }
  }

  int port() const { return port_; }

  // A request as the user's own app makes it: with the page's secret.
  HttpReply request(const std::string& method, const std::string& path,
                    std::vector<std::string> extra = {}) const {
    return httpRequest(port_, method, path, withSecret(data_, std::move(extra)));
  }
  HttpReply get(const std::string& path) const { return request("GET", path); }

  Json status() const { return Json::parse(get("/api/status").body, nullptr, false); }

  // The report of the indexed folder once no index run is under way; fails the test after
  // ten seconds.
  Json settledIndex() const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      const Json state = status();
      if (state.is_object() && state.value("indexing", true) == false &&
          state.contains("finished_at") && !state.at("finished_at").is_null()) {
        return Json::parse(get("/api/folder").body, nullptr, false);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "the index did not settle";
    return Json::object();
  }

  // Sends SIGTERM and returns the exit status (or 128 + signal), killing after 5 seconds.
  int terminate() {
    if (pid_ <= 0) {
      return -1;
    }
    ::kill(pid_, SIGTERM);
    int waitStatus = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::waitpid(pid_, &waitStatus, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &waitStatus, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    return exitStatusOf(waitStatus);
  }

 private:
  // True once our engine (not some other server on the port) answers for `root`.
  bool answers(const std::string& root) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      int waitStatus = 0;
      if (pid_ < 0 || ::waitpid(pid_, &waitStatus, WNOHANG) != 0) {
        pid_ = -1;
        return false;
      }
      const Json state = status();
      if (state.is_object() && state.value("root", "") == root) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::string data_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace tamber::testing
