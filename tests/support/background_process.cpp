#include "support/background_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "support/process.h"

namespace ordalen::test {

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const std::string& cwd,
                                     const std::filesystem::path& output_dir) {
  static int serial = 0;
  const std::string stem = std::to_string(::getpid()) + "-" + std::to_string(++serial);
  out_ = output_dir / ("background-" + stem + ".out");
  err_ = output_dir / ("background-" + stem + ".err");
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Never outlive the test.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) _exit(125);
    const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null = ::open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || null < 0) _exit(126);
    ::dup2(null, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    _exit(127);
  }
  pid_ = pid;
}

BackgroundProcess::~BackgroundProcess() {
  if (pid_ > 0 && !exit_code_) Kill();
}

std::optional<int> BackgroundProcess::Wait(std::chrono::milliseconds limit) {
  if (exit_code_ || pid_ <= 0) return exit_code_;
  const auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exit_code_ = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
      return exit_code_;
    }
    if (done < 0) {
      exit_code_ = -1;
      return exit_code_;
    }
    if (std::chrono::steady_clock::now() >= until) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool BackgroundProcess::Signal(int signal) {
  if (pid_ <= 0 || exit_code_) return false;
  return ::kill(pid_, signal) == 0;
}

int BackgroundProcess::Kill() {
  Signal(SIGKILL);
  const auto code = Wait(std::chrono::milliseconds(10000));
  return code.value_or(-1);
}

std::string BackgroundProcess::Out() const {
  return ReadFile(out_);
}
std::string BackgroundProcess::Err() const {
  return ReadFile(err_);
}

}  // namespace ordalen::test
