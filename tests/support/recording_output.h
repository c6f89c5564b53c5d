// An OutputSink that keeps every console text, standard-error text and log
// message in the order they came, from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/log.h"

namespace ordalen::test {

class RecordingOutput final : public OutputSink {
 public:
  void Log(std::int64_t time, std::string message) override {
    const std::lock_guard lock(mutex_);
    logged.push_back(std::move(message));
    log_times.push_back(time);
  }
  void Console(std::string text) override {
    const std::lock_guard lock(mutex_);
    printed.push_back(std::move(text));
  }
  void Error(std::string text) override {
    const std::lock_guard lock(mutex_);
    errors.push_back(std::move(text));
  }

  // Everything printed, or written to standard error, joined as the stream shows it.
  [[nodiscard]] std::string Printed() const { return Joined(printed); }
  [[nodiscard]] std::string Errors() const { return Joined(errors); }
  // The log messages that begin with `prefix`.
  [[nodiscard]] std::vector<std::string> LoggedWith(std::string_view prefix) const {
    std::vector<std::string> out;
    for (const std::string& m : logged) {
      if (m.starts_with(prefix)) out.push_back(m);
    }
    return out;
  }
  void Clear() {
    printed.clear();
    logged.clear();
    log_times.clear();
    errors.clear();
  }

  // Read after the phase or worker has ended.
  std::vector<std::string> printed;
  std::vector<std::string> logged;
  std::vector<std::int64_t> log_times;  // each log message's stamp (seconds since 1970)
  std::vector<std::string> errors;

 private:
  static std::string Joined(const std::vector<std::string>& texts) {
    std::string all;
    for (const std::string& t : texts) all += t;
    return all;
  }
  std::mutex mutex_;
};

}  // namespace ordalen::test
