// A child process that runs while the test goes on: started by PID, its output
// kept in files, ended by PID (SIGKILL) at the latest when the object goes or
// when the test process itself dies.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace ordalen::test {

class BackgroundProcess {
 public:
  // Starts argv (PATH searched) in `cwd`; stdout and stderr go to files in
  // `output_dir` (named after the PID). Check started().
  BackgroundProcess(const std::vector<std::string>& argv, const std::string& cwd,
                    const std::filesystem::path& output_dir);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  [[nodiscard]] bool started() const { return pid_ > 0; }
  [[nodiscard]] pid_t pid() const { return pid_; }

  // Waits at most `limit` for the child to end; its exit code (128 + signal
  // when killed), or nullopt when it still runs.
  std::optional<int> Wait(std::chrono::milliseconds limit);
  // Sends `signal` to the child (only while it has not been reaped).
  bool Signal(int signal);
  // SIGKILL, then reaps it; the exit code.
  int Kill();

  [[nodiscard]] std::string Out() const;
  [[nodiscard]] std::string Err() const;

 private:
  pid_t pid_ = -1;
  std::optional<int> exit_code_;
  std::filesystem::path out_, err_;
};

}  // namespace ordalen::test
