#include "engine/mcp/stdio.h"

#include <poll.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include "base/failure.h"
#include "platform/fd_io.h"

namespace tamber::engine::mcp {

namespace {

// Most calls, and most message bytes, waiting for the call under way; more are turned away.
constexpr size_t kWaitingCalls = 64;
constexpr size_t kWaitingBytes = 8 * 1024 * 1024;

// Writes whole lines from any thread; after the first failure it writes nothing more.
class LineWriter {
 public:
  explicit LineWriter(int fd) : fd_(fd) {}

  void write(std::string line) {
    line.push_back('\n');
    std::lock_guard lock(mutex_);
    if (broken_) {
      return;
    }
    broken_ = writeAll(fd_, line) != 0;
  }

  bool broken() {
    std::lock_guard lock(mutex_);
    return broken_;
  }

 private:
  const int fd_;
  std::mutex mutex_;
  bool broken_ = false;
};

// Runs tool calls in the order they came, one at a time, on its own thread.
class CallQueue {
 public:
  CallQueue(LineWriter& out, std::chrono::milliseconds progressInterval)
      : out_(out), progressInterval_(progressInterval), thread_([this] { run(); }) {}

  // Waits for the call under way, if any; nothing queued runs after it.
  ~CallQueue() {
    {
      std::lock_guard lock(mutex_);
      queue_.clear();
      closing_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

  // Queues `call`, unless `calls` more calls (in `bytes` of messages) would pass the limits
  // of what may wait; then it returns false and nothing is queued.
  bool add(Json id, std::optional<Json> progressToken, size_t calls, size_t bytes,
           std::function<std::optional<std::string>()> call) {
    {
      std::lock_guard lock(mutex_);
      if (!queue_.empty() &&
          (waitingCalls_ + calls > kWaitingCalls || waitingBytes_ + bytes > kWaitingBytes)) {
        return false;
      }
      waitingCalls_ += calls;
      waitingBytes_ += bytes;
      queue_.push_back({std::move(id), std::move(progressToken), calls, bytes, std::move(call)});
    }
    wake_.notify_one();
    return true;
  }

  // The client has gone: nothing queued will run, and the call under way is not answered.
  void dropAll() {
    std::lock_guard lock(mutex_);
    queue_.clear();
    waitingCalls_ = 0;
    waitingBytes_ = 0;
    runningCancelled_ = true;
    closing_ = true;
  }

  // A queued call with this id is dropped; a running one will not be answered.
  void cancel(const Json& id) {
    std::lock_guard lock(mutex_);
    std::erase_if(queue_, [&](const Pending& pending) {
      if (pending.id != id) {
        return false;
      }
      waitingCalls_ -= pending.calls;
      waitingBytes_ -= pending.bytes;
      return true;
    });
    if (running_ && *running_ == id) {
      runningCancelled_ = true;
    }
  }

 private:
  struct Pending {
    Json id;
    std::optional<Json> progressToken;
    size_t calls;
    size_t bytes;
    std::function<std::optional<std::string>()> call;
  };

  bool cancelled() {
    std::lock_guard lock(mutex_);
    return runningCancelled_;
  }

  // Runs the call; with a progress token, on a thread of its own while this one tells the
  // client every interval that it is still under way.
  std::optional<std::string> perform(Pending& pending) {
    if (!pending.progressToken) {
      return pending.call();
    }
    auto result = std::async(std::launch::async, std::move(pending.call));
    for (int beat = 1; result.wait_for(progressInterval_) == std::future_status::timeout; ++beat) {
      if (cancelled()) {
        continue;  // a cancelled call is not spoken of again
      }
      out_.write(Json({{"jsonrpc", "2.0"},
                       {"method", "notifications/progress"},
                       {"params",
                        {{"progressToken", *pending.progressToken},
                         {"progress", beat},
                         {"message",
                          "Waiting for the Tamber broker; an elevated request waits "
                          "for the user's approval in the Tamber window"}}}})
                     .dump());
    }
    return result.get();
  }

  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return closing_ || !queue_.empty(); });
      if (queue_.empty()) {
        return;
      }
      Pending next = std::move(queue_.front());
      queue_.pop_front();
      waitingCalls_ -= next.calls;
      waitingBytes_ -= next.bytes;
      running_ = next.id;
      runningCancelled_ = false;
      lock.unlock();
      std::optional<std::string> response = perform(next);
      lock.lock();
      const bool cancelled = runningCancelled_;
      running_.reset();
      if (response && !cancelled) {
        lock.unlock();
        out_.write(std::move(*response));
        lock.lock();
      }
    }
  }

  LineWriter& out_;
  const std::chrono::milliseconds progressInterval_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Pending> queue_;      // guarded by mutex_
  std::optional<Json> running_;    // guarded by mutex_
  bool runningCancelled_ = false;  // guarded by mutex_
  bool closing_ = false;           // guarded by mutex_
  size_t waitingCalls_ = 0;        // guarded by mutex_
  size_t waitingBytes_ = 0;        // guarded by mutex_
  std::thread thread_;
};

bool isBlank(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

// Whether the client stopped reading `out`: a pipe whose reader is gone reports an error.
bool outputGone(int out) {
  pollfd watched{out, 0, 0};
  return ::poll(&watched, 1, 0) == 1 && (watched.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}

}  // namespace

int serveStdio(Session& session, int in, int out, std::chrono::milliseconds progressInterval) {
  LineWriter writer(out);
  bool outputBroke = false;
  {
    CallQueue calls(writer, progressInterval);
    // One whole line, its newline gone; `oversized` when it was too long to be kept.
    auto take = [&](std::string& line, bool oversized) {
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      if (oversized || line.size() > kMessageLimit) {
        writer.write(Session::oversizedReply());
        return;
      }
      if (isBlank(line)) {
        return;
      }
      Work work = session.receive(line);
      if (work.cancelled) {
        calls.cancel(*work.cancelled);
      }
      if (work.reply) {
        writer.write(std::move(*work.reply));
      }
      if (work.call && !calls.add(work.callId, std::move(work.progressToken), work.calls,
                                  line.size(), std::move(work.call))) {
        writer.write(Session::busyReply(work.callId));
      }
    };

    std::string line;
    bool oversized = false;  // the current line passed the limit; its bytes are dropped
    char buffer[65536];
    for (;;) {
      // Waits for input, and wakes when the client stops reading the output too.
      pollfd watched[2] = {{in, POLLIN, 0}, {out, 0, 0}};
      if (::poll(watched, 2, -1) < 0 && errno != EINTR) {
        break;
      }
      if ((watched[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 || writer.broken()) {
        outputBroke = true;
        break;
      }
      if (watched[0].revents == 0) {
        continue;
      }
      // A read error ends the input as its end does.
      const ssize_t count = readSome(in, buffer, sizeof buffer);
      if (count <= 0) {
        break;
      }
      std::string_view chunk(buffer, static_cast<size_t>(count));
      for (;;) {
        const size_t newline = chunk.find('\n');
        const std::string_view piece = chunk.substr(0, newline);
        // Room for the limit and a carriage return; anything longer is not kept at all.
        if (!oversized && line.size() + piece.size() > kMessageLimit + 1) {
          oversized = true;
          std::string().swap(line);
        }
        if (!oversized) {
          line.append(piece);
        }
        if (newline == std::string_view::npos) {
          break;
        }
        take(line, oversized);
        line.clear();
        oversized = false;
        chunk.remove_prefix(newline + 1);
      }
    }
    if (!outputBroke && (oversized || !line.empty())) {
      take(line, oversized);  // the last message, without its newline
    }
    // The client has gone, its input ended or its reading stopped: what it asked for and
    // that has not started is dropped, and the call under way ends at its next safe point.
    calls.dropAll();
    session.abandonCalls();
  }  // the call under way, ended, is waited for here
  return outputBroke || writer.broken() || outputGone(out) ? 1 : 0;
}

}  // namespace tamber::engine::mcp
