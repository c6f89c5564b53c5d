#include "support/snmp_agent.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>

#include "app/settings.h"
#include "snmp/snmp_library.h"
#include "support/loopback_only.h"

namespace ordalen::test {
namespace {

constexpr const char* kSnmpd = "/usr/sbin/snmpd";
// Only the system group, the overrides and what v3 needs: a small, fixed view.
constexpr const char* kSnmpdModules =
    "override,system_mib,vacm_conf,usmConf,usmUser,vacm_vars,snmpEngine";

std::string AgentConfig(const std::string& address, const std::string& extra) {
  std::string text = "agentaddress udp:" + address + ":161\n";
  text += std::string("rocommunity ") + kAgentCommunity + " default\n";
  text += std::string("createUser ") + kAgentV3User + " MD5 " + kAgentV3Pass + "\n";
  text += "createUser labnoauth\n";
  text += std::string("rouser ") + kAgentV3User + " auth\n";
  text += "rouser labnoauth noauth\n";
  text += std::string("sysdescr ") + kAgentSysDescr + "\n";
  text += "override 1.3.6.1.2.1.43.10.2.1.4.1.1 counter 123456\n";
  text += std::string("override ") + kAgentModelOid + " octet_str \"" + kAgentModel + "\"\n";
  text += std::string("override ") + kAgentFirmwareOid + " octet_str \"" + kAgentFirmware + "\"\n";
  return text + extra;
}

// --- a few BER pieces for the scripted agent ---

struct Tlv {
  std::uint8_t tag = 0;
  std::span<const std::uint8_t> content;
};

std::optional<Tlv> ReadTlv(std::span<const std::uint8_t>& in) {
  if (in.size() < 2) return std::nullopt;
  Tlv tlv;
  tlv.tag = in[0];
  std::size_t length = in[1];
  std::size_t header = 2;
  if (length & 0x80) {
    const std::size_t octets = length & 0x7F;
    if (octets == 0 || octets > 2 || in.size() < 2 + octets) return std::nullopt;
    length = 0;
    for (std::size_t i = 0; i < octets; ++i) length = (length << 8) | in[2 + i];
    header += octets;
  }
  if (in.size() - header < length) return std::nullopt;
  tlv.content = in.subspan(header, length);
  in = in.subspan(header + length);
  return tlv;
}

std::int64_t IntegerOf(std::span<const std::uint8_t> content) {
  std::int64_t value = (!content.empty() && (content[0] & 0x80)) ? -1 : 0;
  for (const std::uint8_t b : content) value = (value << 8) | b;
  return value;
}

std::vector<std::uint32_t> OidOf(std::span<const std::uint8_t> content) {
  std::vector<std::uint32_t> ids;
  std::uint32_t current = 0;
  for (const std::uint8_t b : content) {
    current = (current << 7) | (b & 0x7F);
    if (b & 0x80) continue;
    if (ids.empty()) {
      ids.push_back(current < 80 ? current / 40 : 2);
      ids.push_back(current < 80 ? current % 40 : current - 80);
    } else {
      ids.push_back(current);
    }
    current = 0;
  }
  return ids;
}

void Append(std::vector<std::uint8_t>& out, std::uint8_t tag,
            const std::vector<std::uint8_t>& content) {
  out.push_back(tag);
  const std::size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else if (n <= 0xFF) {
    out.push_back(0x81);
    out.push_back(static_cast<std::uint8_t>(n));
  } else {
    out.push_back(0x82);
    out.push_back(static_cast<std::uint8_t>(n >> 8));
    out.push_back(static_cast<std::uint8_t>(n));
  }
  out.insert(out.end(), content.begin(), content.end());
}

std::vector<std::uint8_t> IntegerContent(std::int64_t value) {
  std::vector<std::uint8_t> bytes;
  for (int shift = 56; shift >= 0; shift -= 8)
    bytes.push_back(static_cast<std::uint8_t>(value >> shift));
  std::size_t start = 0;
  while (start + 1 < bytes.size() && ((bytes[start] == 0x00 && !(bytes[start + 1] & 0x80)) ||
                                      (bytes[start] == 0xFF && (bytes[start + 1] & 0x80)))) {
    ++start;
  }
  return {bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.end()};
}

}  // namespace

void PrepareSnmpTestProcess() {
  static TempDir folder;  // lives as long as the process
  static const bool prepared = [] {
    SCANCONFIG& config = ScanConfig();
    config.exeDir = folder.path().string();
    config.logDir = folder.path().string();
    InitSnmpLibrary();
    return true;
  }();
  (void)prepared;
}

SnmpCredentials AgentCredentials() {
  static const MibAccountTable accounts = [] {
    MibAccountTable table;
    table["127.0.0.1"] = MIB_ACCOUNT{kAgentV3User, kAgentV3Pass};
    return table;
  }();
  return {kAgentCommunity, accounts};
}

namespace {
std::string LogPath() {
  return ScanConfig().logDir + "/ordalen.log";
}
}  // namespace

LogWatch::LogWatch() {
  offset_ = ReadFile(LogPath()).size();
}

std::vector<std::string> LogWatch::Lines(const std::string& prefix) const {
  const std::string text = ReadFile(LogPath());
  std::vector<std::string> lines;
  std::size_t at = std::min(offset_, text.size());
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t bar = line.find('|');
    std::string message = bar == std::string::npos ? line : line.substr(bar + 1);
    if (message.compare(0, prefix.size(), prefix) == 0) lines.push_back(std::move(message));
  }
  return lines;
}

std::vector<std::uint8_t> EncodeOidContent(const std::vector<std::uint32_t>& ids) {
  std::vector<std::uint8_t> out;
  if (ids.size() < 2) return out;
  auto put = [&out](std::uint32_t id) {
    std::uint8_t groups[5];
    int n = 0;
    do {
      groups[n++] = static_cast<std::uint8_t>(id & 0x7F);
      id >>= 7;
    } while (id != 0);
    while (n > 0) {
      --n;
      out.push_back(static_cast<std::uint8_t>(groups[n] | (n > 0 ? 0x80 : 0)));
    }
  };
  put(ids[0] * 40 + ids[1]);
  for (std::size_t i = 2; i < ids.size(); ++i) put(ids[i]);
  return out;
}

TestSnmpAgent::TestSnmpAgent(const std::string& address, const std::string& extra_config) {
  if (!OnlyLoopback()) {
    error_ = "not inside a throwaway network namespace";
    return;
  }
  const auto config = dir_.Write("snmpd.conf", AgentConfig(address, extra_config));
  const std::string log = (dir_.path() / "snmpd.log").string();
  const std::string persist = (dir_.path() / "persist").string();
  const std::string mibs = (dir_.path() / "mibs").string();
  const pid_t pid = fork();
  if (pid < 0) {
    error_ = "fork failed";
    return;
  }
  if (pid == 0) {
    // The agent must not outlive the test, whatever happens to it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    setenv("SNMP_PERSISTENT_DIR", persist.c_str(), 1);
    setenv("MIBS", "", 1);
    setenv("MIBDIRS", mibs.c_str(), 1);
    const int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      dup2(devnull, 0);
      dup2(devnull, 1);
      dup2(devnull, 2);
    }
    const std::string config_path = config.string();
    execl(kSnmpd, "snmpd", "-f", "-Lf", log.c_str(), "-C", "-c", config_path.c_str(), "-I",
          kSnmpdModules, static_cast<char*>(nullptr));
    _exit(127);
  }
  pid_ = pid;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (ReadFile(log).find("NET-SNMP version") != std::string::npos) {
      ready_ = true;
      return;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error_ = "snmpd ended at start: " + ReadFile(log);
      return;
    }
    usleep(20 * 1000);
  }
  error_ = "snmpd not ready after 10 s: " + ReadFile(log);
}

TestSnmpAgent::~TestSnmpAgent() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 250; ++i) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) return;
    usleep(20 * 1000);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

int TestSnmpAgent::ConnectionCount() const {
  const std::string log = ReadFile(dir_.path() / "snmpd.log");
  int count = 0;
  for (std::size_t at = log.find("Connection from"); at != std::string::npos;
       at = log.find("Connection from", at + 1)) {
    ++count;
  }
  return count;
}

ScriptedAgent::ScriptedAgent(const std::string& address, Script script)
    : script_(std::move(script)) {
  if (!OnlyLoopback()) return;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(161);
  if (inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    close(fd);
    return;
  }
  fd_ = fd;
  thread_ = std::thread([this] { Serve(); });
}

ScriptedAgent::~ScriptedAgent() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) close(fd_);
}

FakeAnswer NoAnswer(std::uint8_t /*pdu_type*/, const std::vector<std::uint32_t>& /*name*/) {
  FakeAnswer answer;
  answer.silent = true;
  return answer;
}

void ScriptedAgent::Serve() {
  std::uint8_t buffer[65536];
  while (!stop_) {
    pollfd pfd{fd_, POLLIN, 0};
    if (poll(&pfd, 1, 50) <= 0) continue;
    sockaddr_in peer{};
    socklen_t peer_len = sizeof peer;
    const ssize_t n =
        recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&peer), &peer_len);
    if (n <= 0) continue;
    std::span<const std::uint8_t> in(buffer, static_cast<std::size_t>(n));
    auto message = ReadTlv(in);
    if (!message || message->tag != 0x30) continue;
    auto body = message->content;
    const auto version = ReadTlv(body);
    const auto community = ReadTlv(body);
    const auto pdu = ReadTlv(body);
    if (!version || !community || !pdu) continue;
    auto fields = pdu->content;
    const auto reqid = ReadTlv(fields);
    ReadTlv(fields);
    ReadTlv(fields);
    const auto bindings = ReadTlv(fields);
    if (!reqid || !bindings) continue;
    auto list = bindings->content;
    const auto binding = ReadTlv(list);
    if (!binding) continue;
    auto pair = binding->content;
    const auto name = ReadTlv(pair);
    if (!name || name->tag != 0x06) continue;
    ++requests_;
    const std::vector<std::uint32_t> requested = OidOf(name->content);
    const FakeAnswer answer = script_(pdu->tag, requested);
    if (answer.silent) continue;

    std::vector<std::uint8_t> pair_out;
    if (answer.error_status != 0) {
      Append(pair_out, 0x06, EncodeOidContent(requested));
      Append(pair_out, 0x05, {});
    } else {
      Append(pair_out, 0x06, EncodeOidContent(answer.name));
      Append(pair_out, answer.type, answer.value);
    }
    std::vector<std::uint8_t> binding_out;
    Append(binding_out, 0x30, pair_out);
    std::vector<std::uint8_t> list_out;
    Append(list_out, 0x30, binding_out);
    std::vector<std::uint8_t> pdu_out;
    Append(pdu_out, 0x02, IntegerContent(IntegerOf(reqid->content)));
    Append(pdu_out, 0x02, IntegerContent(answer.error_status));
    Append(pdu_out, 0x02, IntegerContent(answer.error_status != 0 ? 1 : 0));
    pdu_out.insert(pdu_out.end(), list_out.begin(), list_out.end());
    std::vector<std::uint8_t> message_out;
    Append(message_out, 0x02, IntegerContent(IntegerOf(version->content)));
    Append(message_out, 0x04, {community->content.begin(), community->content.end()});
    Append(message_out, 0xA2, pdu_out);
    std::vector<std::uint8_t> packet;
    Append(packet, 0x30, message_out);
    sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&peer), peer_len);
  }
}

}  // namespace ordalen::test
