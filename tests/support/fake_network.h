// Fakes of the name lookup and the echo that the ARP sweep, the ping sweep and
// the MIB phase share.
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "probes/host_lookup.h"
#include "probes/ping.h"

namespace ordalen::test {

// Names from a table; records every question and the threads that asked.
class FakeLookup final : public HostLookup {
 public:
  std::map<std::uint32_t, std::string> names;

  std::vector<std::uint32_t> asked;  // in the order asked
  std::set<std::thread::id> threads;

  std::optional<std::string> ReverseName(std::uint32_t address) override {
    const std::lock_guard lock(mutex_);
    asked.push_back(address);
    threads.insert(std::this_thread::get_id());
    const auto it = names.find(address);
    if (it == names.end()) return std::nullopt;
    return it->second;
  }
  [[nodiscard]] std::set<std::uint32_t> Asked() const { return {asked.begin(), asked.end()}; }

 private:
  std::mutex mutex_;
};

// Replies from a table of TTLs; records every request. A sweep's requests end
// in the order sent, each at the next wait.
class FakeEcho final : public EchoOps {
 public:
  std::map<std::uint32_t, int> ttls;
  bool can_send = true;
  OsError cannot{OsErrorKind::kSocket, EPERM, "socket(ICMP raw): Operation not permitted"};
  bool each_echo_fails = false;  // Echo itself reports the permission failure
  bool by_frames = true;         // what the sweeper says of on-link targets
  // Set: every single echo waits (at most 5 s) until this many run at once.
  int barrier = 0;

  int can_send_calls = 0;
  std::vector<std::uint32_t> asked;
  int most_in_flight = 0;       // a sweep's requests at once
  int most_echoes_at_once = 0;  // single echoes at once, with `barrier`

  bool CanSend(OsError* error) override {
    ++can_send_calls;
    if (!can_send) *error = cannot;
    return can_send;
  }
  std::optional<int> Echo(std::uint32_t address, OsError* error) override {
    std::unique_lock lock(mutex_);
    asked.push_back(address);
    if (barrier > 0) {
      ++echoing_;
      most_echoes_at_once = std::max(most_echoes_at_once, echoing_);
      cv_.notify_all();
      cv_.wait_for(lock, std::chrono::seconds(5), [this] { return echoing_ >= barrier; });
    }
    return ReplyTo(address, error);
  }
  std::unique_ptr<EchoSweeper> OpenSweeper(OsError* /*error*/) override {
    return std::make_unique<Sweeper>(*this);
  }

 private:
  std::optional<int> ReplyTo(std::uint32_t address, OsError* error) const {
    if (each_echo_fails) {
      *error = cannot;
      return std::nullopt;
    }
    const auto it = ttls.find(address);
    if (it == ttls.end()) return std::nullopt;
    return it->second;
  }
  class Sweeper final : public EchoSweeper {
   public:
    explicit Sweeper(FakeEcho& echo) : echo_(echo) {}
    void Send(std::uint32_t address, int slot) override {
      pending_.emplace_back(address, slot);
      echo_.most_in_flight = std::max(echo_.most_in_flight, static_cast<int>(pending_.size()));
    }
    void Wait(std::chrono::milliseconds /*max_wait*/, std::vector<Reply>& ended,
              OsError* error) override {
      for (const auto& [address, slot] : pending_) {
        echo_.asked.push_back(address);
        ended.push_back(Reply{slot, echo_.ReplyTo(address, error)});
      }
      pending_.clear();
    }
    [[nodiscard]] bool OnLinkByFrames() const override { return echo_.by_frames; }

   private:
    FakeEcho& echo_;
    std::vector<std::pair<std::uint32_t, int>> pending_;
  };
  std::mutex mutex_;
  std::condition_variable cv_;
  int echoing_ = 0;
};

}  // namespace ordalen::test
