// Extra peers for lab tests: programs of scripts/lab/ run in a lab host's
// namespace while the test goes on, and extra addresses on a lab host that give
// such peers hosts of their own. Both undo themselves when they go, also when
// the test fails; the lab's own hosts and peers are left as they were.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/background_process.h"
#include "support/lab.h"
#include "support/process.h"

namespace ordalen::test {

// A peer script that takes --ready-file, --stop-file and --lifetime (every
// script of scripts/lab/ written for hostile-peer tests does). It is started
// with `/usr/bin/python3 SCRIPT ARGS...` inside `where` (a lab host key), ends
// by itself after `lifetime`, and is killed by its PID if it outlives Stop().
class LabPeer {
 public:
  LabPeer(const Lab& lab, const std::string& where, const std::string& script,
          const std::vector<std::string>& args,
          std::chrono::seconds lifetime = std::chrono::seconds(180));
  ~LabPeer();
  LabPeer(const LabPeer&) = delete;
  LabPeer& operator=(const LabPeer&) = delete;

  // True once the peer has opened its socket (at most `limit` of waiting).
  bool WaitReady(std::chrono::milliseconds limit = std::chrono::milliseconds(8000));
  // Asks the peer to end and waits for it; what it printed on stdout.
  std::string Stop();
  // What it wrote on stderr so far (for failure messages).
  [[nodiscard]] std::string Err() const;
  [[nodiscard]] const std::string& description() const { return description_; }

 private:
  TempDir dir_;
  std::string description_;
  std::unique_ptr<BackgroundProcess> child_;
  std::string out_;
  bool stopped_ = false;
};

// Addresses (dotted, /24) added to `host`'s card eth0 for the life of the object;
// its destructor removes them and empties the scanner's neighbour table.
class LabAddresses {
 public:
  LabAddresses(const Lab& lab, std::string host, std::vector<std::string> addresses);
  ~LabAddresses();
  LabAddresses(const LabAddresses&) = delete;
  LabAddresses& operator=(const LabAddresses&) = delete;
  [[nodiscard]] const std::string& error() const { return error_; }

 private:
  const Lab& lab_;
  std::string host_;
  std::vector<std::string> added_;
  std::string error_;
};

// Empties the neighbour table of the scanner namespace.
void FlushScannerNeighbours(const Lab& lab);

}  // namespace ordalen::test
