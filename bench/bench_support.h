// What the benchmarks share: a folder of their own and the percentiles of their samples.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace tamber::bench {

// A new folder (`parent`/tamber-`name`-XXXXXX) and everything in it, removed when it goes out
// of scope. A benchmark that cannot make one cannot run: it ends with the reason.
class BenchFolder {
 public:
  explicit BenchFolder(const std::string& name, const std::string& parent = "/tmp")
      : path_(parent + "/tamber-" + name + "-XXXXXX") {
    if (::mkdtemp(path_.data()) == nullptr) {
      std::perror("mkdtemp");
      std::exit(1);
    }
  }
  ~BenchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  BenchFolder(const BenchFolder&) = delete;
  BenchFolder& operator=(const BenchFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The sample below which `fraction` of them lie (nearest rank); `samples` must not be empty.
inline double percentile(std::vector<double> samples, double fraction) {
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1))];
}

}  // namespace tamber::bench
