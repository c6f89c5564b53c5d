#include "support/lab_peer.h"

#include <thread>

namespace ordalen::test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

LabPeer::LabPeer(const Lab& lab, const std::string& where, const std::string& script,
                 const std::vector<std::string>& args, std::chrono::seconds lifetime) {
  description_ = std::filesystem::path(script).filename().string() + " in " + where;
  for (const auto& a : args) description_ += " " + a;
  const std::string ns = lab.Namespace(where);
  if (ns.empty()) return;
  std::vector<std::string> argv = {"ip", "netns", "exec", ns, "/usr/bin/python3", script};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.insert(argv.end(),
              {"--ready-file", (dir_.path() / "ready").string(), "--stop-file",
               (dir_.path() / "stop").string(), "--lifetime", std::to_string(lifetime.count())});
  child_ = std::make_unique<BackgroundProcess>(argv, std::string(), dir_.path());
}

LabPeer::~LabPeer() {
  Stop();
}

bool LabPeer::WaitReady(milliseconds limit) {
  if (!child_ || !child_->started()) return false;
  const auto until = Clock::now() + limit;
  while (Clock::now() < until) {
    if (std::filesystem::exists(dir_.path() / "ready")) return true;
    if (child_->Wait(milliseconds(0))) return false;  // it ended: it could not start
    std::this_thread::sleep_for(milliseconds(20));
  }
  return false;
}

std::string LabPeer::Stop() {
  if (stopped_ || !child_) return out_;
  stopped_ = true;
  dir_.Write("stop", "");
  // Every peer looks for the stop file at least every 50 ms.
  if (!child_->Wait(milliseconds(3000))) child_->Kill();
  out_ = child_->Out();
  return out_;
}

std::string LabPeer::Err() const {
  return child_ ? child_->Err() : std::string();
}

LabAddresses::LabAddresses(const Lab& lab, std::string host, std::vector<std::string> addresses)
    : lab_(lab), host_(std::move(host)) {
  for (const auto& address : addresses) {
    const auto run =
        lab_.Run(host_, {"ip", "addr", "add", address + "/24", "dev", "eth0"}, milliseconds(5000));
    if (run.exit_code != 0) {
      error_ = "cannot add " + address + " to " + host_ + ": " + run.err;
      return;
    }
    added_.push_back(address);
  }
}

LabAddresses::~LabAddresses() {
  for (const auto& address : added_) {
    (void)lab_.Run(host_, {"ip", "addr", "del", address + "/24", "dev", "eth0"},
                   milliseconds(5000));
  }
  FlushScannerNeighbours(lab_);
}

void FlushScannerNeighbours(const Lab& lab) {
  (void)lab.Run("scanner", {"ip", "neigh", "flush", "all"}, milliseconds(5000));
}

}  // namespace ordalen::test
