#include "engine/commands.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <streambuf>
#include <string_view>

#include "base/failure.h"
#include "base/home_folder.h"
#include "base/path.h"
#include "base/reply.h"
#include "engine/activity_commands.h"
#include "engine/data_directory.h"
#include "engine/inventory/inventory_commands.h"
#include "engine/invitation_guide.h"
#include "engine/mcp/agent_command.h"
#include "engine/mcp/mcp_command.h"

namespace tamber::engine {

namespace {

// A stream buffer in front of another: passes every byte on and keeps the first ones.
class Tap : public std::streambuf {
 public:
  explicit Tap(std::ostream& stream) : stream_(stream), target_(stream.rdbuf(this)) {}
  ~Tap() override { stream_.rdbuf(target_); }
  Tap(const Tap&) = delete;
  Tap& operator=(const Tap&) = delete;

  bool empty() const { return seen_.empty(); }
  const std::string& seen() const { return seen_; }

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) {
      return traits_type::not_eof(c);
    }
    note(std::string(1, static_cast<char>(c)));
    return target_->sputc(static_cast<char>(c));
  }
  std::streamsize xsputn(const char* data, std::streamsize size) override {
    note(std::string(data, static_cast<size_t>(size)));
    return target_->sputn(data, size);
  }
  int sync() override { return target_->pubsync(); }

 private:
  void note(const std::string& bytes) {
    if (seen_.size() < kKept) {
      seen_ += bytes.substr(0, kKept - seen_.size());
    }
  }

  static constexpr size_t kKept = 4096;  // more than any complaint
  std::ostream& stream_;
  std::streambuf* target_;
  std::string seen_;
};

// Keeps the promise of "--json": standard output carries one JSON object for every run,
// failures included. Commands complain on standard error, one sentence after "larkspan: ";
// while an outcome is active it passes both streams through unchanged and notes what went
// by, and finish() turns a failed run's first complaint into {"error": sentence} on
// standard output, unless the run already wrote its result there.
//
// Standard output and standard error are redirected for the object's life: make one, on
// the main thread, before the command runs.
class JsonOutcome {
 public:
  // Active only when `json`.
  explicit JsonOutcome(bool json);
  ~JsonOutcome();  // puts the streams back
  JsonOutcome(const JsonOutcome&) = delete;
  JsonOutcome& operator=(const JsonOutcome&) = delete;

  // Hands the streams back for good: a server's output (serve's log, mcp's protocol) is its
  // own.
  void release();

  // Returns `status`, the run's exit status, unchanged; for a failure (not 0) of an active
  // outcome that printed nothing on standard output, first prints the error object there.
  int finish(int status);

 private:
  std::unique_ptr<Tap> out_;
  std::unique_ptr<Tap> err_;
};

JsonOutcome::JsonOutcome(bool json) {
  if (json) {
    out_ = std::make_unique<Tap>(std::cout);
    err_ = std::make_unique<Tap>(std::cerr);
  }
}

JsonOutcome::~JsonOutcome() = default;

void JsonOutcome::release() {
  out_.reset();
  err_.reset();
}

int JsonOutcome::finish(int status) {
  if (status == 0 || !out_ || !out_->empty()) {
    return status;
  }
  // The first complaint is the one that ended the run; a usage text may follow it.
  std::string sentence = "larkspan failed";
  const std::string& said = err_->seen();
  static constexpr std::string_view kPrefix = "larkspan: ";
  if (const size_t start = said.find(kPrefix); start != std::string::npos) {
    const size_t from = start + kPrefix.size();
    sentence = said.substr(from, said.find('\n', from) - from);
  }
  release();
  std::cout << jsonData(Json{{"error", sentence}}) << std::endl;
  return status;
}

// The folder to index: --root, else the home folder. Empty (with a message) when neither.
std::string rootFolder(const CommandLine& line) {
  if (line.root) {
    return absolutePath(*line.root);
  }
  const char* variable = std::getenv("HOME");
  const std::string home =
      homeFolder(variable ? std::optional<std::string>(variable) : std::nullopt);
  if (home.empty()) {
    std::cerr << "larkspan: no home folder is known; name the folder with --root" << std::endl;
    return {};
  }
  return absolutePath(home);
}

// invite: prints the invitation's general part, or {"product", "text"} with --json.
int runInvite(const std::string& dataDir, bool json, const std::string& program) {
  const std::string text = invitationGuide(engineExecutable(program), dataDir);
  if (json) {
    std::cout << jsonData(Json{{"product", "Tamber"}, {"text", text}}) << std::endl;
  } else {
    std::cout << text << std::endl;
  }
  return std::cout ? 0 : 1;
}

}  // namespace

int runCommand(const CommandLine& line, const std::string& program) {
  const std::string dataDir = absolutePath(line.dataDir);
  // Every command but invite keeps or reads private state there (the index, the page's
  // secret, the broker's socket): none of it may sit where another user can reach it or be
  // led elsewhere by a link.
  if (line.command != "invite") {
    try {
      prepareDataDirectory(dataDir, line.command == "serve" || line.command == "index");
    } catch (const Failure& failure) {
      std::cerr << "larkspan: could not use the data directory " << dataDir << ": "
                << failure.description() << std::endl;
      return 1;
    }
  }
  if (line.command == "serve" || line.command == "index") {
    const std::string root = rootFolder(line);
    if (root.empty()) {
      return 1;
    }
    if (line.command == "index") {
      return runIndex(root, dataDir, line.json);
    }
    return runServe(root, dataDir, invitationGuide(engineExecutable(program), dataDir), line.port,
                    std::chrono::seconds(line.intervalSeconds));
  }
  if (line.command == "inventory") {
    return runInventory(
        dataDir, line.root ? std::optional<std::string>(absolutePath(*line.root)) : std::nullopt,
        line.folder, line.json);
  }
  if (line.command == "invite") {
    return runInvite(dataDir, line.json, program);
  }
  if (line.command == "mcp") {
    return runMcp(dataDir, line.readOnly);
  }
  if (line.command == "activity") {
    return runActivity(dataDir, line.grant, line.json);
  }
  if (line.command == "undo") {
    return runUndo(dataDir, line.change);
  }
  return runAgent(dataDir, line.request, line.json);
}

int runLarkspan(const std::vector<std::string>& arguments, const std::string& program) {
  // Asked for JSON, a run prints one object whatever happens, a wrong command line included.
  JsonOutcome outcome(std::find(arguments.begin(), arguments.end(), "--json") != arguments.end());
  CommandLine line;
  try {
    line = parseCommandLine(arguments);
  } catch (const UsageError& error) {
    std::cerr << "larkspan: " << error.what() << "\n\n" << usageText();
    return outcome.finish(2);
  }
  if (line.command == "serve" || line.command == "mcp") {
    outcome.release();
  }
  try {
    return outcome.finish(runCommand(line, program));
  } catch (const std::exception& error) {
    std::cerr << "larkspan: " << error.what() << std::endl;
    return outcome.finish(1);
  }
}

}  // namespace tamber::engine
