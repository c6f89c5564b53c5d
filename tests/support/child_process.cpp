#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>
#include <thread>

namespace ordalen::test {

namespace {

int ExitCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

bool ChildProcess::Start(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& env,
                         const std::string& output_path) {
  Stop();
  if (argv.empty()) return false;
  // Everything the child needs is prepared before fork: only async-signal-safe calls after it.
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const std::string out = output_path.empty() ? "/dev/null" : output_path;
  const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (out_fd < 0 || null_fd < 0) {
    if (out_fd >= 0) ::close(out_fd);
    if (null_fd >= 0) ::close(null_fd);
    return false;
  }
  std::vector<std::string> env_texts;
  for (const auto& [key, value] : env) env_texts.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e) {
    bool replaced = false;
    for (const auto& [key, value] : env) {
      const std::string prefix = key + "=";
      if (std::string_view(*e).substr(0, prefix.size()) == prefix) replaced = true;
    }
    if (!replaced) envp.push_back(*e);
  }
  for (auto& text : env_texts) envp.push_back(text.data());
  envp.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(null_fd, 0);
    ::dup2(out_fd, 1);
    ::dup2(out_fd, 2);
    ::execvpe(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(out_fd);
  ::close(null_fd);
  if (pid < 0) return false;
  pid_ = pid;
  exit_code_ = -1;
  return true;
}

bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  const pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    exit_code_ = ExitCode(status);
    pid_ = -1;
    return false;
  }
  return r == 0;
}

int ChildProcess::Stop(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return exit_code_;
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + grace;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!Running()) return exit_code_;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  exit_code_ = ExitCode(status);
  pid_ = -1;
  return exit_code_;
}

}  // namespace ordalen::test
