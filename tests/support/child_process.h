// A child process that runs beside a test (a peer service) and is stopped by
// its PID when the test ends, also when the test fails.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace ordalen::test {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (PATH searched) with `env` added to this process's
  // environment; stdout and stderr go to `output_path` when given, else to
  // /dev/null. False when it could not be started.
  bool Start(const std::vector<std::string>& argv,
             const std::vector<std::pair<std::string, std::string>>& env = {},
             const std::string& output_path = {});

  // SIGTERM, then SIGKILL after `grace`; waits for the child. Returns its
  // exit code (128 + signal when killed), -1 when none was running.
  int Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));

  [[nodiscard]] pid_t pid() const { return pid_; }
  // Whether the child is still running (reaps it when it has ended).
  bool Running();

 private:
  pid_t pid_ = -1;
  int exit_code_ = -1;
};

}  // namespace ordalen::test
