// A ScanOutput that keeps every console text and log line, for any thread.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "probes/host_scan.h"

namespace ordalen::test {

class CapturedOutput : public ScanOutput {
 public:
  void Print(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    printed.push_back(text);
  }
  void Log(const std::string& line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    logged.push_back(line);
  }
  // Read after the phase or worker has ended.
  std::vector<std::string> printed;
  std::vector<std::string> logged;

 private:
  std::mutex mutex_;
};

}  // namespace ordalen::test
