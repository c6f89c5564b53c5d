// The lab itself: from inside the scanner namespace, with plain sockets, the
// peers answer as tests/lab/LAB.md promises; and the harness that runs programs
// in the lab works. A failure here means the test bed is broken, not the scanner.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/lab.h"
#include "support/process.h"

namespace ordalen::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

class Socket {
 public:
  Socket(int domain, int type, int protocol) : fd_(socket(domain, type | SOCK_CLOEXEC, protocol)) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  [[nodiscard]] int fd() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in Address(const std::string& ip, std::uint16_t port = 0) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  EXPECT_EQ(inet_pton(AF_INET, ip.c_str(), &addr.sin_addr), 1) << ip;
  return addr;
}

// One datagram from `from` within `limit`, or nothing.
std::optional<Bytes> ReceiveFrom(int fd, const std::string& from, std::chrono::milliseconds limit,
                                 bool (*accept)(const Bytes&, const void*) = nullptr,
                                 const void* context = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
    Bytes buffer(2048);
    sockaddr_in peer{};
    socklen_t peer_len = sizeof peer;
    const ssize_t n = recvfrom(fd, buffer.data(), buffer.size(), 0,
                               reinterpret_cast<sockaddr*>(&peer), &peer_len);
    if (n < 0) continue;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    buffer.resize(static_cast<std::size_t>(n));
    if (from != text) continue;
    if (accept != nullptr && !accept(buffer, context)) continue;
    return buffer;
  }
}

// ---- ICMP echo -------------------------------------------------------------

std::uint16_t Checksum(const Bytes& data) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2)
    sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
  if (data.size() % 2) sum += static_cast<std::uint32_t>(data.back() << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

struct EchoMatch {
  std::uint16_t id;
  std::uint16_t seq;
};

bool IsEchoReply(const Bytes& packet, const void* context) {
  const auto* want = static_cast<const EchoMatch*>(context);
  if (packet.size() < 20) return false;
  const std::size_t ihl = (packet[0] & 0x0F) * 4u;
  if (packet.size() < ihl + 8) return false;
  return packet[ihl] == ICMP_ECHOREPLY && (packet[ihl + 4] << 8 | packet[ihl + 5]) == want->id &&
         (packet[ihl + 6] << 8 | packet[ihl + 7]) == want->seq;
}

// TTL of the echo reply from `ip`, or nothing within `limit`. One request.
std::optional<int> PingTtl(const std::string& ip, std::uint16_t seq,
                           std::chrono::milliseconds limit) {
  Socket sock(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  EXPECT_GE(sock.fd(), 0) << "raw ICMP socket";
  const EchoMatch match{static_cast<std::uint16_t>(getpid() & 0xFFFF), seq};
  Bytes request = {ICMP_ECHO,
                   0,
                   0,
                   0,
                   static_cast<std::uint8_t>(match.id >> 8),
                   static_cast<std::uint8_t>(match.id & 0xFF),
                   static_cast<std::uint8_t>(seq >> 8),
                   static_cast<std::uint8_t>(seq & 0xFF),
                   'l',
                   'a',
                   'b',
                   '!'};
  const std::uint16_t sum = Checksum(request);
  request[2] = static_cast<std::uint8_t>(sum >> 8);
  request[3] = static_cast<std::uint8_t>(sum & 0xFF);
  const sockaddr_in to = Address(ip);
  if (sendto(sock.fd(), request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to) < 0) {
    return std::nullopt;
  }
  const auto reply = ReceiveFrom(sock.fd(), ip, limit, IsEchoReply, &match);
  if (!reply) return std::nullopt;
  return (*reply)[8];
}

// ---- SNMP (BER) ------------------------------------------------------------

void AppendTlv(Bytes& out, std::uint8_t tag, const Bytes& value) {
  out.push_back(tag);
  if (value.size() < 128) {
    out.push_back(static_cast<std::uint8_t>(value.size()));
  } else {
    out.push_back(0x82);
    out.push_back(static_cast<std::uint8_t>(value.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(value.size() & 0xFF));
  }
  out.insert(out.end(), value.begin(), value.end());
}

Bytes EncodeOid(const std::string& text) {
  std::vector<std::uint32_t> arcs;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t dot = text.find('.', pos);
    arcs.push_back(static_cast<std::uint32_t>(std::stoul(text.substr(pos, dot - pos))));
    pos = dot == std::string::npos ? text.size() : dot + 1;
  }
  Bytes out = {static_cast<std::uint8_t>(arcs[0] * 40 + arcs[1])};
  for (std::size_t i = 2; i < arcs.size(); ++i) {
    Bytes part;
    std::uint32_t v = arcs[i];
    part.insert(part.begin(), static_cast<std::uint8_t>(v & 0x7F));
    while (v >>= 7) part.insert(part.begin(), static_cast<std::uint8_t>(0x80 | (v & 0x7F)));
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

Bytes SnmpGet(int version, const std::string& community, std::uint8_t request_id,
              const std::string& oid) {
  Bytes varbind, varbinds, pdu, message;
  AppendTlv(varbind, 0x06, EncodeOid(oid));
  AppendTlv(varbind, 0x05, {});
  AppendTlv(varbinds, 0x30, varbind);
  AppendTlv(pdu, 0x02, {request_id});
  AppendTlv(pdu, 0x02, {0});
  AppendTlv(pdu, 0x02, {0});
  AppendTlv(pdu, 0x30, varbinds);
  Bytes body;
  AppendTlv(body, 0x02, {static_cast<std::uint8_t>(version)});
  AppendTlv(body, 0x04, Bytes(community.begin(), community.end()));
  AppendTlv(body, 0xA0, pdu);
  AppendTlv(message, 0x30, body);
  return message;
}

struct Tlv {
  std::uint8_t tag = 0;
  Bytes value;
};

// Reads the TLV at `pos` (advancing it); nothing on a short or malformed buffer.
std::optional<Tlv> ReadTlv(const Bytes& data, std::size_t& pos) {
  if (pos + 2 > data.size()) return std::nullopt;
  Tlv tlv;
  tlv.tag = data[pos++];
  std::size_t length = data[pos++];
  if (length & 0x80) {
    const std::size_t count = length & 0x7F;
    if (count == 0 || count > 2 || pos + count > data.size()) return std::nullopt;
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = length << 8 | data[pos++];
  }
  if (pos + length > data.size()) return std::nullopt;
  tlv.value.assign(data.begin() + static_cast<std::ptrdiff_t>(pos),
                   data.begin() + static_cast<std::ptrdiff_t>(pos + length));
  pos += length;
  return tlv;
}

struct SnmpAnswer {
  std::uint8_t pdu_tag = 0;
  std::uint8_t request_id = 0;
  std::uint8_t error_status = 0xFF;
  Tlv value;
};

std::optional<SnmpAnswer> DecodeAnswer(const Bytes& data) {
  std::size_t pos = 0;
  auto message = ReadTlv(data, pos);
  if (!message || message->tag != 0x30) return std::nullopt;
  pos = 0;
  const Bytes& m = message->value;
  auto version = ReadTlv(m, pos);
  auto community = ReadTlv(m, pos);
  auto pdu = ReadTlv(m, pos);
  if (!version || !community || !pdu) return std::nullopt;
  SnmpAnswer answer;
  answer.pdu_tag = pdu->tag;
  std::size_t p = 0;
  auto id = ReadTlv(pdu->value, p);
  auto status = ReadTlv(pdu->value, p);
  auto index = ReadTlv(pdu->value, p);
  auto list = ReadTlv(pdu->value, p);
  if (!id || !status || !index || !list || id->value.empty() || status->value.empty())
    return std::nullopt;
  answer.request_id = id->value.back();
  answer.error_status = status->value.back();
  std::size_t q = 0;
  auto varbind = ReadTlv(list->value, q);
  if (!varbind) return std::nullopt;
  std::size_t r = 0;
  auto name = ReadTlv(varbind->value, r);
  auto value = ReadTlv(varbind->value, r);
  if (!name || !value) return std::nullopt;
  answer.value = *value;
  return answer;
}

// ---- NetBIOS node status ---------------------------------------------------

Bytes NodeStatusRequest() {
  Bytes request = {0x12, 0x34, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                   0x00, 0x00, 0x00, 0x00, 0x20, 'C',  'K'};
  request.insert(request.end(), 30, 'A');
  request.insert(request.end(), {0x00, 0x00, 0x21, 0x00, 0x01});
  return request;
}

struct NbName {
  std::string name;  // without padding
  std::uint8_t suffix;
  std::uint16_t flags;
};

struct NodeStatus {
  std::vector<NbName> names;
  std::string mac;  // unit id of the statistics, "XX:XX:..."
};

std::optional<NodeStatus> DecodeNodeStatus(const Bytes& data) {
  // Header 12, name 34, type 2, class 2, TTL 4, length 2, then the name count.
  if (data.size() < 57 || !(data[2] & 0x80) || (data[3] & 0x0F) != 0) return std::nullopt;
  NodeStatus status;
  const std::size_t count = data[56];
  std::size_t pos = 57;
  for (std::size_t i = 0; i < count; ++i, pos += 18) {
    if (pos + 18 > data.size()) return std::nullopt;
    std::string name(data.begin() + static_cast<std::ptrdiff_t>(pos),
                     data.begin() + static_cast<std::ptrdiff_t>(pos + 15));
    name.erase(name.find_last_not_of(' ') + 1);
    status.names.push_back(
        {name, data[pos + 15], static_cast<std::uint16_t>(data[pos + 16] << 8 | data[pos + 17])});
  }
  if (pos + 6 > data.size()) return std::nullopt;
  char mac[18];
  std::snprintf(mac, sizeof mac, "%02X:%02X:%02X:%02X:%02X:%02X", data[pos], data[pos + 1],
                data[pos + 2], data[pos + 3], data[pos + 4], data[pos + 5]);
  status.mac = mac;
  return status;
}

std::optional<NodeStatus> QueryNodeStatus(const std::string& ip) {
  Socket sock(AF_INET, SOCK_DGRAM, 0);
  const Bytes request = NodeStatusRequest();
  const sockaddr_in to = Address(ip, 137);
  if (sendto(sock.fd(), request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to) < 0) {
    return std::nullopt;
  }
  const auto answer = ReceiveFrom(sock.fd(), ip, 3s);
  if (!answer) return std::nullopt;
  return DecodeNodeStatus(*answer);
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// ---- the tests -------------------------------------------------------------

// Every test enters the scanner namespace first; gtest runs each test of this
// file in a process of its own, before any thread exists.
#define ENTER_SCANNER(lab)                                 \
  ORDALEN_REQUIRE_LAB(lab);                                \
  {                                                        \
    const std::string entered_error_ = lab.EnterScanner(); \
    ASSERT_TRUE(entered_error_.empty()) << entered_error_; \
  }

TEST(LabHealth, ScannerSeesOnlyItsTwoLabCards) {
  ENTER_SCANNER(lab);
  ifaddrs* list = nullptr;
  ASSERT_EQ(getifaddrs(&list), 0);
  std::set<std::string> addresses;
  for (ifaddrs* it = list; it; it = it->ifa_next) {
    if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(it->ifa_addr)->sin_addr, text, sizeof text);
    addresses.insert(std::string(it->ifa_name) + "=" + text);
  }
  freeifaddrs(list);
  EXPECT_EQ(addresses,
            (std::set<std::string>{"lo=127.0.0.1", "eth-a=" + lab.Value("LAB_SCANNER_IP_A"),
                                   "eth-b=" + lab.Value("LAB_SCANNER_IP_B")}));
  // /sys is the lab's too, with the fixed MACs of the scanner's cards.
  EXPECT_EQ(Upper(ReadFile("/sys/class/net/eth-a/address")),
            Upper(lab.Value("LAB_SCANNER_MAC_A")) + "\n");
  EXPECT_EQ(Upper(ReadFile("/sys/class/net/eth-b/address")),
            Upper(lab.Value("LAB_SCANNER_MAC_B")) + "\n");
}

TEST(LabHealth, KernelHostsAnswerEchoWithTheirTtlAndSilentAddressesDoNot) {
  ENTER_SCANNER(lab);
  std::uint16_t seq = 1;
  for (const std::string& host : Lab::HostKeys()) {
    const auto ttl = PingTtl(lab.Ip(host), seq++, 2s);
    ASSERT_TRUE(ttl.has_value()) << host << " " << lab.Ip(host) << " did not answer";
    EXPECT_EQ(std::to_string(*ttl), lab.Value("LAB_TTL_" + host)) << host;
  }
  for (const char* key : {"LAB_SILENT_A", "LAB_SILENT_B", "LAB_GHOST_IP"}) {
    EXPECT_FALSE(PingTtl(lab.Value(key), seq++, 1s).has_value())
        << key << " " << lab.Value(key) << " answered";
  }
}

TEST(LabHealth, TcpListenersAcceptAndOtherPortsRefuse) {
  ENTER_SCANNER(lab);
  struct Case {
    const char* host;
    std::uint16_t port;
    bool open;
  };
  for (const Case& c : {Case{"WIN1", 3389, true}, Case{"WIN1", 135, true}, Case{"WIN2", 3389, true},
                        Case{"LINUX1", 3389, false}, Case{"PRINTER", 135, false}}) {
    Socket sock(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in to = Address(lab.Ip(c.host), c.port);
    const int rc = connect(sock.fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
    const int err = rc == 0 ? 0 : errno;
    if (c.open) {
      EXPECT_EQ(rc, 0) << c.host << ":" << c.port << " " << std::strerror(err);
    } else {
      EXPECT_EQ(err, ECONNREFUSED) << c.host << ":" << c.port << " should be refused by the kernel";
    }
  }
}

TEST(LabHealth, PrinterAgentAnswersItsCommunityAndIgnoresOthers) {
  ENTER_SCANNER(lab);
  struct Case {
    int version;  // 0 = v1, 1 = v2c
    std::string oid;
    std::uint8_t type;
    std::string value;
  };
  const std::vector<Case> cases = {
      {0, "1.3.6.1.2.1.1.1.0", 0x04, lab.Value("LAB_SNMP_SYSDESCR")},
      {1, "1.3.6.1.2.1.1.1.0", 0x04, lab.Value("LAB_SNMP_SYSDESCR")},
      {1, lab.Value("LAB_SNMP_MODEL_OID"), 0x04, lab.Value("LAB_SNMP_MODEL")},
      {0, lab.Value("LAB_SNMP_FW_OID"), 0x04, lab.Value("LAB_SNMP_FW")},
      // Counter32 123456 = 0x01E240.
      {1, lab.Value("LAB_SNMP_MARKER_OID"), 0x41, std::string("\x01\xE2\x40", 3)},
  };
  std::uint8_t id = 10;
  for (const Case& c : cases) {
    Socket sock(AF_INET, SOCK_DGRAM, 0);
    const Bytes request = SnmpGet(c.version, lab.Value("LAB_SNMP_COMMUNITY"), ++id, c.oid);
    const sockaddr_in to = Address(lab.Ip("PRINTER"), 161);
    ASSERT_GT(sendto(sock.fd(), request.data(), request.size(), 0,
                     reinterpret_cast<const sockaddr*>(&to), sizeof to),
              0);
    const auto raw = ReceiveFrom(sock.fd(), lab.Ip("PRINTER"), 3s);
    ASSERT_TRUE(raw.has_value()) << "no answer for " << c.oid;
    const auto answer = DecodeAnswer(*raw);
    ASSERT_TRUE(answer.has_value()) << "undecodable answer for " << c.oid;
    EXPECT_EQ(answer->pdu_tag, 0xA2);
    EXPECT_EQ(answer->request_id, id);
    EXPECT_EQ(answer->error_status, 0) << c.oid;
    EXPECT_EQ(answer->value.tag, c.type) << c.oid;
    EXPECT_EQ(std::string(answer->value.value.begin(), answer->value.value.end()), c.value)
        << c.oid;
  }
  Socket sock(AF_INET, SOCK_DGRAM, 0);
  const Bytes wrong = SnmpGet(1, "not-the-community", 99, "1.3.6.1.2.1.1.1.0");
  const sockaddr_in to = Address(lab.Ip("PRINTER"), 161);
  ASSERT_GT(sendto(sock.fd(), wrong.data(), wrong.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to),
            0);
  EXPECT_FALSE(ReceiveFrom(sock.fd(), lab.Ip("PRINTER"), 1s).has_value())
      << "a wrong community was answered";
}

TEST(LabHealth, NodeStatusOfSambaAndOfTheWindowsLikeResponder) {
  ENTER_SCANNER(lab);
  const auto win1 = QueryNodeStatus(lab.Ip("WIN1"));
  ASSERT_TRUE(win1.has_value()) << "nmbd on WIN1 gave no node status";
  bool has_name = false, has_group = false;
  for (const NbName& n : win1->names) {
    has_name |=
        n.name == lab.Value("LAB_NB_WIN1_NAME") && n.suffix == 0 && (n.flags & 0x8400) == 0x0400;
    has_group |=
        n.name == lab.Value("LAB_NB_WIN1_GROUP") && n.suffix == 0 && (n.flags & 0x8400) == 0x8400;
  }
  EXPECT_TRUE(has_name && has_group);
  EXPECT_EQ(win1->mac, "00:00:00:00:00:00") << "nmbd reports no adapter MAC";

  const auto win2 = QueryNodeStatus(lab.Ip("WIN2"));
  ASSERT_TRUE(win2.has_value()) << "the responder on WIN2 gave no node status";
  ASSERT_GE(win2->names.size(), 3u);
  EXPECT_EQ(win2->names[0].name, "IS~" + lab.Value("LAB_NB_WIN2_NAME"));
  EXPECT_EQ(win2->names[1].name, lab.Value("LAB_NB_WIN2_NAME"));
  EXPECT_EQ(win2->names[1].suffix, 0);
  EXPECT_EQ(win2->names[1].flags, 0x0400);
  EXPECT_EQ(win2->names[2].name, lab.Value("LAB_NB_WIN2_GROUP"));
  EXPECT_EQ(win2->names[2].flags, 0x8400);
  EXPECT_EQ(win2->mac, Upper(lab.Mac("WIN2")));
}

TEST(LabHealth, HostsFileNamesSomeHostsAndOtherLookupsFailAtOnce) {
  ENTER_SCANNER(lab);
  for (const std::string& host : Lab::HostKeys()) {
    const sockaddr_in addr = Address(lab.Ip(host));
    char name[NI_MAXHOST] = {};
    const auto start = std::chrono::steady_clock::now();
    const int rc = getnameinfo(reinterpret_cast<const sockaddr*>(&addr), sizeof addr, name,
                               sizeof name, nullptr, 0, NI_NAMEREQD);
    const auto took = std::chrono::steady_clock::now() - start;
    if (lab.HostName(host).empty()) {
      EXPECT_NE(rc, 0) << host << " has a name: " << name;
      EXPECT_LT(took, 2s) << host << ": the failing lookup was slow";
    } else {
      EXPECT_EQ(rc, 0) << host << ": " << gai_strerror(rc);
      EXPECT_EQ(name, lab.HostName(host)) << host;
    }
  }
}

// The responder's options that make it a misbehaving peer, on a spare port of
// LINUX1 (the lab's own responder on WIN2 stays as it is).
TEST(LabResponder, OptionsShapeTheAnswer) {
  ENTER_SCANNER(lab);
  const std::string script = std::string(ORDALEN_SOURCE_DIR) + "/scripts/lab/nb_responder.py";
  const std::string ip = lab.Ip("LINUX1");
  constexpr std::size_t kWindowsLength = 57 + 5 * 18 + 46;
  struct Case {
    std::vector<std::string> options;
    std::function<void(const std::vector<Bytes>&)> check;
  };
  const std::vector<Case> cases = {
      {{},
       [&](const std::vector<Bytes>& got) {
         ASSERT_EQ(got.size(), 1u);
         EXPECT_EQ(got[0].size(), kWindowsLength);
         EXPECT_EQ(got[0][0], 0x12);  // the request's transaction id
         EXPECT_EQ(got[0][1], 0x34);
         const auto status = DecodeNodeStatus(got[0]);
         ASSERT_TRUE(status.has_value());
         ASSERT_EQ(status->names.size(), 5u);
         EXPECT_EQ(status->names[0].name, "IS~WIN-RESP");
         EXPECT_EQ(status->mac, Upper(lab.Mac("LINUX1"))) << "the card's own MAC";
       }},
      {{"--rcode", "3"}, [](const std::vector<Bytes>& got) { EXPECT_EQ(got.at(0)[3] & 0x0F, 3); }},
      {{"--no-response-bit"},
       [](const std::vector<Bytes>& got) { EXPECT_EQ(got.at(0)[2] & 0x80, 0); }},
      {{"--ancount", "0"},
       [](const std::vector<Bytes>& got) { EXPECT_EQ(got.at(0)[6] | got.at(0)[7], 0); }},
      {{"--truncate", "40"},
       [](const std::vector<Bytes>& got) { EXPECT_EQ(got.at(0).size(), 40u); }},
      {{"--no-stats", "--no-is-name"},
       [](const std::vector<Bytes>& got) {
         EXPECT_EQ(got.at(0).size(), 57u + 4 * 18);
         EXPECT_EQ(got.at(0)[56], 4);
       }},
      {{"--stats-fill", "0xff"},
       [&](const std::vector<Bytes>& got) {
         ASSERT_EQ(got.at(0).size(), kWindowsLength);
         // Bytes 15 and 16 after the unit id are what tells statistics from a name.
         EXPECT_EQ(got[0][57 + 5 * 18 + 15], 0xFF);
         EXPECT_EQ(got[0][57 + 5 * 18 + 16], 0xFF);
       }},
      {{"--names", "HOST/00/0400,GRP/00/8400", "--mac", "02:00:00:00:00:01"},
       [](const std::vector<Bytes>& got) {
         const auto status = DecodeNodeStatus(got.at(0));
         ASSERT_TRUE(status.has_value());
         ASSERT_EQ(status->names.size(), 2u);
         EXPECT_EQ(status->names[0].name, "HOST");
         EXPECT_EQ(status->names[1].flags, 0x8400);
         EXPECT_EQ(status->mac, "02:00:00:00:00:01");
       }},
      {{"--copies", "3"}, [](const std::vector<Bytes>& got) { EXPECT_EQ(got.size(), 3u); }},
  };
  std::uint16_t port = 1137;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.options));
    std::vector<std::string> argv = {"/usr/bin/python3",     script,         "--bind", ip, "--port",
                                     std::to_string(++port), "--exit-after", "1"};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    ProcessResult peer_result;
    std::thread peer([&] { peer_result = lab.Run("LINUX1", argv, 10s); });
    // Ask every 200 ms until the peer is up and answers (at most 25 requests),
    // then gather whatever else arrives within 300 ms.
    Socket sock(AF_INET, SOCK_DGRAM, 0);
    const Bytes request = NodeStatusRequest();
    const sockaddr_in to = Address(ip, port);
    std::vector<Bytes> got;
    for (int attempt = 0; attempt < 25 && got.empty(); ++attempt) {
      sendto(sock.fd(), request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
      if (auto answer = ReceiveFrom(sock.fd(), ip, 200ms)) got.push_back(std::move(*answer));
    }
    while (auto more = ReceiveFrom(sock.fd(), ip, 300ms)) got.push_back(std::move(*more));
    peer.join();
    EXPECT_EQ(peer_result.exit_code, 0) << peer_result.err;
    ASSERT_FALSE(got.empty()) << "no answer";
    c.check(got);
  }
}

TEST(LabHarness, RunsCommandsInsideTheLabNamespaces) {
  ORDALEN_REQUIRE_LAB(lab);
  for (const std::string& host : Lab::HostKeys()) {
    const ProcessResult r = lab.Run(host, {"sysctl", "-n", "net.ipv4.ip_default_ttl"}, 10s);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, lab.Value("LAB_TTL_" + host) + "\n") << host;
  }
  const ProcessResult routes = lab.Run("scanner", {"ip", "-4", "route", "show"}, 10s);
  EXPECT_EQ(routes.exit_code, 0) << routes.err;
  EXPECT_NE(routes.out.find(lab.Value("LAB_SUBNET_A")), std::string::npos) << routes.out;
  EXPECT_NE(routes.out.find(lab.Value("LAB_SUBNET_B")), std::string::npos) << routes.out;
  EXPECT_EQ(routes.out.find("default"), std::string::npos)
      << "the scanner has a way out: " << routes.out;
}

TEST(LabHarness, RunsTheProgramInAFreshFolderWithItsOwnFiles) {
  ORDALEN_REQUIRE_LAB(lab);
  OrdalenFiles files;
  files.config_ini = "[Ordalen]\nThread=4\nCommunity=" + lab.Value("LAB_SNMP_COMMUNITY") + "\n";
  files.target_mib_xml = "<Root/>\n";
  // The single-device mode: one GET at the printer, bounded by the time limit.
  const OrdalenRun run = RunOrdalen(lab, files, {"1.3.6.1.2.1.1.1.0", lab.Ip("PRINTER"), "x"}, 60s);
  ASSERT_TRUE(run.error.empty()) << run.error;
  EXPECT_FALSE(run.process.timed_out);
  EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
  EXPECT_TRUE(std::filesystem::is_regular_file(run.folder / "ordalen"));
  EXPECT_EQ(ReadFile(run.folder / "config.ini"), *files.config_ini);
  EXPECT_FALSE(std::filesystem::exists(run.folder / "accounts.csv"));
}

TEST(LabHarness, ReadsResultFilesInTheirDeclaredEncoding) {
  TempDir dir;
  // "テスト" in Shift_JIS, and an escaped ampersand.
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"Shift_JIS\" ?><NODE_SCAN scan_date=\"2026-12-07 "
      "08:10:13.000\">"
      "<NETWORK_CARD><NODE><MACADDRESS>02:77:01:00:00:30</MACADDRESS><IPADDRESS>10.77.1.30</"
      "IPADDRESS>"
      "<NETBIOS_NAME>\x83\x65\x83\x58\x83\x67</NETBIOS_NAME><DOMAIN_NAME/><OS>3</OS>"
      "<VARIABLE "
      "oid=\"model_name\">A&amp;B</VARIABLE></NODE><NODE><MACADDRESS/><IPADDRESS>10.77.2.10"
      "</IPADDRESS></NODE></NETWORK_CARD></NODE_SCAN>";
  const auto path = dir.Write("r.xml", xml);
  const ResultDocument doc = ParseResultFile(path);
  ASSERT_TRUE(doc.error.empty()) << doc.error;
  EXPECT_EQ(doc.declaration_encoding, "Shift_JIS");
  EXPECT_EQ(doc.root_name, "NODE_SCAN");
  EXPECT_EQ(doc.scan_date, "2026-12-07 08:10:13.000");
  EXPECT_EQ(doc.network_card_count, 1);
  ASSERT_EQ(doc.nodes.size(), 2u);
  const ResultNode* printer = doc.FindByIp("10.77.1.30");
  ASSERT_NE(printer, nullptr);
  EXPECT_EQ(printer->Field("NETBIOS_NAME"), "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88");
  EXPECT_EQ(printer->Field("VARIABLE:model_name"), "A&B");
  EXPECT_EQ(printer->Field("DOMAIN_NAME"), "");
  EXPECT_EQ(printer->Field("NETMASK"), std::nullopt);
  EXPECT_EQ(doc.FindByIp("10.77.9.9"), nullptr);

  EXPECT_FALSE(ParseResultFile(dir.Write("bad.xml", "<NODE_SCAN><NODE>")).error.empty());
}

TEST(LabHarness, EnvFilesAreReadAsTheShellReadsThem) {
  const auto values = Lab::ParseEnv(
      "# comment\nLAB_A=plain\nLAB_B='LabPrinter 9000 Series'\nexport LAB_C=\"x \\\"y\\\"\"\n"
      "LAB_D=\nLAB_E='it'\\''s'\r\n");
  ASSERT_TRUE(values.has_value());
  EXPECT_EQ(values->at("LAB_A"), "plain");
  EXPECT_EQ(values->at("LAB_B"), "LabPrinter 9000 Series");
  EXPECT_EQ(values->at("LAB_C"), "x \"y\"");
  EXPECT_EQ(values->at("LAB_D"), "");
  EXPECT_EQ(values->at("LAB_E"), "it's");
  for (const char* bad : {"LAB_A=two words\n", "=x\n", "1X=y\n", "LAB_A='open\n", "no equals\n"}) {
    EXPECT_FALSE(Lab::ParseEnv(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace ordalen::test
