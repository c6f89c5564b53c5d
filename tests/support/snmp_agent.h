// SNMP peers for tests that run inside the throwaway namespace (OnlyLoopback()): a real snmpd with
// the lab printer's values, and a scripted agent for misbehaving devices.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "snmp/snmp_credentials.h"
#include "support/loopback_only.h"
#include "support/process.h"

namespace ordalen::test {

// The agent's values, as the lab printer has them.
inline constexpr const char* kAgentCommunity = "labcomm";
inline constexpr const char* kAgentV3User = "labmd5";
inline constexpr const char* kAgentV3Pass = "labpass123";
inline constexpr const char* kAgentSysDescr = "LabPrinter 9000 Series";
inline constexpr const char* kAgentModelOid = "1.3.6.1.2.1.25.3.2.1.3.1";
inline constexpr const char* kAgentModel = "LabPrinter 9000";
inline constexpr const char* kAgentFirmwareOid = "1.3.6.1.4.1.77777.1.1.0";
inline constexpr const char* kAgentFirmware = "FW 1.2.3";

// /usr/sbin/snmpd on ADDRESS:161 serving only the system group and the values
// above plus `extra_config` lines, started by PID and ended by PID (also when
// the test process dies). Check ready() first.
class TestSnmpAgent {
 public:
  explicit TestSnmpAgent(const std::string& address = "127.0.0.1",
                         const std::string& extra_config = {});
  ~TestSnmpAgent();
  TestSnmpAgent(const TestSnmpAgent&) = delete;
  TestSnmpAgent& operator=(const TestSnmpAgent&) = delete;

  [[nodiscard]] bool ready() const { return ready_; }
  [[nodiscard]] const std::string& error() const { return error_; }
  // Datagrams the agent has logged receiving so far.
  [[nodiscard]] int ConnectionCount() const;

 private:
  TempDir dir_;
  int pid_ = -1;
  bool ready_ = false;
  std::string error_;
};

// One answer of the scripted agent.
struct FakeAnswer {
  std::vector<std::uint32_t> name;  // the OID answered
  std::uint8_t type = 0x04;         // value tag
  std::vector<std::uint8_t> value;  // value content octets
  int error_status = 0;
  bool silent = false;  // send nothing
};

// A community-based (v1 or v2c) agent on ADDRESS:161 (UDP) that answers every
// GET/GET-NEXT, in the request's version, with what `script` returns for (PDU
// type, requested OID). It runs until destroyed.
class ScriptedAgent {
 public:
  using Script =
      std::function<FakeAnswer(std::uint8_t pdu_type, const std::vector<std::uint32_t>& name)>;
  ScriptedAgent(const std::string& address, Script script);
  ~ScriptedAgent();
  ScriptedAgent(const ScriptedAgent&) = delete;
  ScriptedAgent& operator=(const ScriptedAgent&) = delete;

  [[nodiscard]] bool ready() const { return fd_ >= 0; }
  // Requests received so far.
  [[nodiscard]] int requests() const { return requests_.load(); }

 private:
  void Serve();

  Script script_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

// A script for ScriptedAgent that reads every request and answers none: a host
// that takes SNMP datagrams and stays silent (unlike a host with the port
// closed, which refuses them at once).
FakeAnswer NoAnswer(std::uint8_t pdu_type, const std::vector<std::uint32_t>& name);

// Settings and SNMP library set-up shared by the SNMP tests of one process: a
// folder of its own as exeDir and logDir. Idempotent.
void PrepareSnmpTestProcess();

// What the queries authenticate with to reach the agent: its community, and its
// v3 account for 127.0.0.1.
SnmpCredentials AgentCredentials();

// The scan log from the moment of construction on.
class LogWatch {
 public:
  LogWatch();
  // Messages of the new lines (time stamp removed) that begin with `prefix`.
  [[nodiscard]] std::vector<std::string> Lines(const std::string& prefix = {}) const;

 private:
  std::size_t offset_ = 0;
};

// Content octets of an OID value (for FakeAnswer::value of type 0x06).
std::vector<std::uint8_t> EncodeOidContent(const std::vector<std::uint32_t>& ids);

}  // namespace ordalen::test
