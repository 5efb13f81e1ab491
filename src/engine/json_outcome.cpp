#include "engine/json_outcome.h"

#include <iostream>
#include <streambuf>
#include <string>
#include <string_view>

#include "base/reply.h"

namespace tamber::engine {

// A stream buffer in front of another: passes every byte on and keeps the first ones.
class JsonOutcome::Tap : public std::streambuf {
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

}  // namespace tamber::engine
