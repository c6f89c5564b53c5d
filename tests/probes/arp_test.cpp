// ctest-label: threads (the sweep looks names up on threads of its own)
#include "probes/arp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "app/settings.h"
#include "engine/result_store.h"
#include "support/fake_network.h"
#include "support/process.h"
#include "support/recording_output.h"
#include "support/scan_config.h"

namespace ordalen {
namespace {

constexpr std::uint32_t Ip(int a, int b, int c, int d) {
  return static_cast<std::uint32_t>(a) << 24 | static_cast<std::uint32_t>(b) << 16 |
         static_cast<std::uint32_t>(c) << 8 | static_cast<std::uint32_t>(d);
}

constexpr MacBytes kCardMacA{0x02, 0x77, 0x01, 0x00, 0x00, 0x02};
constexpr MacBytes kCardMacB{0x02, 0x77, 0x02, 0x00, 0x00, 0x02};

InterfaceAddress Card(std::string name, int index, std::uint32_t address, const MacBytes& mac) {
  InterfaceAddress a;
  a.name = std::move(name);
  a.index = index;
  a.up = true;
  a.kind = LinkKind::kEthernet;
  a.mac = mac;
  a.address = address;
  a.mask = 0xFFFFFF00;
  return a;
}

// Answers from a table keyed by (interface, address); records every question.
// Its requests end in the order asked, each at the next wait.
class FakeArp : public ArpOps {
 public:
  std::map<std::pair<int, std::uint32_t>, MacBytes> answers;
  test::FakeLookup lookup;
  std::set<std::uint32_t> failing;  // the socket reports a failure for these
  bool can_ask = true;
  OsError cannot{OsErrorKind::kSocket, EPERM, "socket(AF_PACKET): Operation not permitted"};

  int can_ask_calls = 0;
  std::vector<std::pair<int, std::uint32_t>> asked;
  std::vector<ArpSender> senders;
  int most_in_flight = 0;

  bool CanAsk(OsError* error) override {
    ++can_ask_calls;
    if (!can_ask) *error = cannot;
    return can_ask;
  }
  std::unique_ptr<ArpAsker> OpenAsker(const ArpSender& sender, OsError*) override {
    senders.push_back(sender);
    return std::make_unique<Asker>(*this, sender);
  }
  HostLookup& Names() override { return lookup; }

  std::set<std::uint32_t> AskedAddresses() const {
    std::set<std::uint32_t> out;
    for (const auto& [index, address] : asked) out.insert(address);
    return out;
  }

 private:
  class Asker : public ArpAsker {
   public:
    Asker(FakeArp& arp, const ArpSender& sender) : arp_(arp), sender_(sender) {}
    void Ask(std::uint32_t target, int slot) override {
      arp_.asked.emplace_back(sender_.interface_index, target);
      pending_.emplace_back(target, slot);
      arp_.most_in_flight = std::max(arp_.most_in_flight, static_cast<int>(pending_.size()));
    }
    void Wait(std::chrono::milliseconds, std::vector<Answer>& ended, OsError* error) override {
      for (const auto& [target, slot] : pending_) {
        if (arp_.failing.contains(target)) {
          *error = OsError{OsErrorKind::kSend, EMFILE, "sendto(ARP): Too many open files"};
          ended.push_back(Answer{slot, std::nullopt});
          continue;
        }
        const auto it = arp_.answers.find({sender_.interface_index, target});
        ended.push_back(
            Answer{slot, it == arp_.answers.end() ? std::nullopt : std::optional(it->second)});
      }
      pending_.clear();
    }

   private:
    FakeArp& arp_;
    ArpSender sender_;
    std::vector<std::pair<std::uint32_t, int>> pending_;
  };
};

std::set<std::uint32_t> Span(std::uint32_t first, std::uint32_t last,
                             std::set<std::uint32_t> except = {}) {
  std::set<std::uint32_t> out;
  for (std::uint64_t a = first; a <= last; ++a) {
    if (!except.contains(static_cast<std::uint32_t>(a))) out.insert(static_cast<std::uint32_t>(a));
  }
  return out;
}

std::vector<std::string> StoredAddresses() {
  std::vector<std::string> out;
  for (const auto& assoc : Results()) out.push_back(assoc.key);
  std::ranges::sort(out);
  return out;
}

// Fresh settings (Thread=12, no range) and store; the phase's lines recorded.
class ArpSweepTest : public ::testing::Test {
 protected:
  void Sweep(const CardTable& cards, ArpOps& probes) {
    ArpSweep(ScanConfig(), cards, probes, out_);
  }

  test::TempDir dir_;
  test::ScopedScanConfig config_{dir_.path()};
  test::RecordingOutput out_;

  // Two cards: A 10.77.1.2/24 on interface 4, B 10.77.2.2/24 on interface 5.
  static CardTable TwoCards() {
    CardTable cards;
    FillCardTable({Card("eth-a", 4, Ip(10, 77, 1, 2), kCardMacA),
                   Card("eth-b", 5, Ip(10, 77, 2, 2), kCardMacB)},
                  cards);
    return cards;
  }
};

TEST_F(ArpSweepTest, AnsweringHostsGetARecordWithTheirCardsSubnet) {
  CardTable cards;
  FillCardTable({Card("eth-a", 4, Ip(10, 77, 1, 2), kCardMacA)}, cards);
  FakeArp arp;
  arp.answers[{4, Ip(10, 77, 1, 10)}] = {0x02, 0x77, 0x01, 0x00, 0x00, 0x10};
  arp.answers[{4, Ip(10, 77, 1, 20)}] = {0, 0, 0, 0, 0, 0};  // the all-zero answer counts as none
  arp.answers[{4, Ip(10, 77, 1, 30)}] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
  arp.lookup.names[Ip(10, 77, 1, 10)] = "linux1.lab.test";

  Sweep(cards, arp);
  const std::string out = out_.Printed();

  // Every host address but our own is asked once, on card A as card A.
  EXPECT_EQ(arp.asked.size(), 253u);
  EXPECT_EQ(arp.AskedAddresses(), Span(Ip(10, 77, 1, 1), Ip(10, 77, 1, 254), {Ip(10, 77, 1, 2)}));
  ASSERT_EQ(arp.senders.size(), 1u);
  EXPECT_EQ(arp.senders[0].interface_index, 4);
  EXPECT_EQ(arp.senders[0].mac, kCardMacA);
  EXPECT_EQ(arp.senders[0].address, Ip(10, 77, 1, 2));
  // No more than Thread (12) addresses are asked at once (one slot holds the
  // card's own address, answered without a request); names are looked up
  // beside the requests, not on the thread that asks.
  EXPECT_LE(arp.most_in_flight, 12);
  EXPECT_GE(arp.most_in_flight, 11);
  EXPECT_FALSE(arp.lookup.threads.contains(std::this_thread::get_id()));
  // Names are looked up for answering hosts only.
  EXPECT_EQ(arp.lookup.Asked(),
            (std::set<std::uint32_t>{Ip(10, 77, 1, 2), Ip(10, 77, 1, 10), Ip(10, 77, 1, 30)}));

  EXPECT_EQ(StoredAddresses(), (std::vector<std::string>{"10.77.1.10", "10.77.1.2", "10.77.1.30"}));
  struct Want {
    const char* ip;
    const char* mac;
    const char* name;
  } want[] = {
      {"10.77.1.10", "02:77:01:00:00:10", "linux1.lab.test"},
      {"10.77.1.30", "00:1A:2B:3C:4D:5E", "(unknown)"},
      {"10.77.1.2", "02:77:01:00:00:02", "(unknown)"},  // the machine itself, by its card's address
  };
  for (const auto& w : want) {
    SCOPED_TRACE(w.ip);
    const SCANRESULT* r = FindHost(w.ip);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->MacAddress, w.mac);
    EXPECT_EQ(r->IpAddress, w.ip);
    EXPECT_EQ(r->NetMask, "255.255.255.0");
    EXPECT_EQ(r->Broadcast, "10.77.1.255");
    EXPECT_EQ(r->NetbiosName, w.name);
    EXPECT_EQ(r->DomainName, "");
    EXPECT_EQ(r->OsType, 0);
    EXPECT_EQ(r->FromDeviceTable, 0);
    EXPECT_NE(out.find(std::string("[") + w.ip + "]" + w.mac + "\r\n"), std::string::npos) << out;
  }
  EXPECT_EQ(out.find("10.77.1.20"), std::string::npos);
  std::vector<std::string> log = out_.logged;
  std::ranges::sort(log);
  EXPECT_EQ(log, (std::vector<std::string>{"ARP[10.77.1.10]: 02:77:01:00:00:10",
                                           "ARP[10.77.1.2]: 02:77:01:00:00:02",
                                           "ARP[10.77.1.30]: 00:1A:2B:3C:4D:5E"}));
}

TEST_F(ArpSweepTest, CommandLineRangeClipsEachCard) {
  struct Case {
    const char* what;
    std::uint32_t start, end;
    std::set<std::uint32_t> asked;
  } cases[] = {
      {"inside card A", Ip(10, 77, 1, 100), Ip(10, 77, 1, 110),
       Span(Ip(10, 77, 1, 100), Ip(10, 77, 1, 110))},
      {"across both cards", Ip(10, 77, 1, 250), Ip(10, 77, 2, 5),
       [] {
         auto s = Span(Ip(10, 77, 1, 250), Ip(10, 77, 1, 254));
         s.merge(Span(Ip(10, 77, 2, 1), Ip(10, 77, 2, 5), {Ip(10, 77, 2, 2)}));
         return s;
       }()},
      {"only the start set: whole subnets", Ip(10, 77, 1, 100), 0,
       [] {
         auto s = Span(Ip(10, 77, 1, 1), Ip(10, 77, 1, 254), {Ip(10, 77, 1, 2)});
         s.merge(Span(Ip(10, 77, 2, 1), Ip(10, 77, 2, 254), {Ip(10, 77, 2, 2)}));
         return s;
       }()},
      {"outside both cards", Ip(10, 78, 0, 1), Ip(10, 78, 0, 200), {}},
      {"ending at 255.255.255.255", Ip(10, 77, 2, 250), 0xFFFFFFFF,
       Span(Ip(10, 77, 2, 250), Ip(10, 77, 2, 254))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScanConfig().rangeStart = c.start;
    ScanConfig().rangeEnd = c.end;
    FakeArp arp;
    Sweep(TwoCards(), arp);
    EXPECT_EQ(arp.AskedAddresses(), c.asked);
    EXPECT_EQ(arp.asked.size(), c.asked.size());
    ClearHosts();
  }
}

TEST_F(ArpSweepTest, CardsAreSweptOneAfterTheOther) {
  FakeArp arp;
  ScanConfig().threadCount = 64;
  Sweep(TwoCards(), arp);
  ASSERT_EQ(arp.asked.size(), 2u * 253);
  const auto first_b = std::ranges::find_if(arp.asked, [](const auto& a) { return a.first == 5; });
  ASSERT_NE(first_b, arp.asked.end());
  EXPECT_EQ(first_b - arp.asked.begin(), 253);
  EXPECT_TRUE(std::all_of(first_b, arp.asked.end(), [](const auto& a) { return a.first == 5; }));
}

TEST_F(ArpSweepTest, AHostFoundThroughTwoCardsKeepsTheLastRecord) {
  // Two interfaces on one subnet: the second card's answer replaces the first.
  CardTable cards;
  FillCardTable({Card("eth-a", 4, Ip(10, 77, 1, 2), kCardMacA),
                 Card("eth-c", 6, Ip(10, 77, 1, 3), kCardMacB)},
                cards);
  FakeArp arp;
  arp.answers[{4, Ip(10, 77, 1, 10)}] = {0x02, 0, 0, 0, 0, 0x0A};
  arp.answers[{6, Ip(10, 77, 1, 10)}] = {0x02, 0, 0, 0, 0, 0x0B};
  Sweep(cards, arp);
  const SCANRESULT* r = FindHost("10.77.1.10");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->MacAddress, "02:00:00:00:00:0B");
  EXPECT_EQ(Results().size(), 3u);  // .10 and the two addresses of the machine itself
}

TEST_F(ArpSweepTest, EveryThreadCountFindsTheSameHosts) {
  struct Case {
    int threads;
    int in_flight;  // at most (less one while a slot holds the card's own address)
  } cases[] = {{1, 1}, {12, 12}, {64, 64}, {256, 253}, {4096, 253}, {0, 1}, {-1, 1}, {100000, 253}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.threads);
    ScanConfig().threadCount = c.threads;
    FakeArp arp;
    for (int host : {1, 10, 77, 128, 254})
      arp.answers[{5, Ip(10, 77, 2, host)}] = {2, 0, 0, 0, 0, 1};
    Sweep(TwoCards(), arp);
    EXPECT_EQ(arp.asked.size(), 2u * 253);
    EXPECT_LE(arp.most_in_flight, c.in_flight);
    EXPECT_GE(arp.most_in_flight, c.in_flight == 1 ? 1 : c.in_flight - 1);
    EXPECT_EQ(StoredAddresses(),
              (std::vector<std::string>{"10.77.1.2", "10.77.2.1", "10.77.2.10", "10.77.2.128",
                                        "10.77.2.2", "10.77.2.254", "10.77.2.77"}));
    ClearHosts();
  }
}

TEST_F(ArpSweepTest, NoRightToSendSaysSoOnceAndFindsNothing) {
  struct Case {
    const char* what;
    OsError error;
    const char* says;
  } cases[] = {
      {"no permission",
       {OsErrorKind::kSocket, EPERM, "socket(AF_PACKET): Operation not permitted"},
       "no permission"},
      {"no packet sockets",
       {OsErrorKind::kSocket, EAFNOSUPPORT, "socket(AF_PACKET): Address family not supported"},
       "cannot send"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeArp arp;
    arp.can_ask = false;
    arp.cannot = c.error;
    out_.Clear();
    Sweep(TwoCards(), arp);
    const std::string err = out_.Errors();
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
    EXPECT_NE(err.find(c.error.message), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_TRUE(arp.asked.empty());
    EXPECT_EQ(Results().size(), 0u);
    const std::vector<std::string>& log = out_.logged;
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0] + "\r\n", err);
  }
}

TEST_F(ArpSweepTest, NothingToSweepAsksNothingAndChecksNothing) {
  CardTable p2p_only;
  InterfaceAddress p2p = Card("eth-p", 4, Ip(10, 77, 1, 2), kCardMacA);
  p2p.mask = 0xFFFFFFFE;  // a /31: not swept
  FillCardTable({p2p}, p2p_only);
  struct Case {
    const char* what;
    CardTable cards;
    std::uint32_t start, end;
  } cases[] = {
      {"no swept card", p2p_only, 0, 0},
      {"a range that meets no card", TwoCards(), Ip(192, 168, 0, 1), Ip(192, 168, 0, 9)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScanConfig().rangeStart = c.start;
    ScanConfig().rangeEnd = c.end;
    FakeArp arp;
    arp.can_ask = false;  // would print the notice if it were consulted
    out_.Clear();
    Sweep(c.cards, arp);
    EXPECT_EQ(out_.Errors(), "");
    EXPECT_TRUE(out_.logged.empty());
    EXPECT_EQ(arp.can_ask_calls, 0);
    EXPECT_TRUE(arp.asked.empty());
  }
}

TEST_F(ArpSweepTest, ASocketFailureLosesOnlyThatHost) {
  CardTable cards;
  FillCardTable({Card("eth-a", 4, Ip(10, 77, 1, 2), kCardMacA)}, cards);
  FakeArp arp;
  arp.failing = {Ip(10, 77, 1, 10), Ip(10, 77, 1, 12), Ip(10, 77, 1, 13)};
  arp.answers[{4, Ip(10, 77, 1, 10)}] = {2, 0, 0, 0, 0, 0x10};
  arp.answers[{4, Ip(10, 77, 1, 11)}] = {2, 0, 0, 0, 0, 0x11};
  Sweep(cards, arp);
  EXPECT_EQ(FindHost("10.77.1.10"), nullptr);
  EXPECT_NE(FindHost("10.77.1.11"), nullptr);
  // The failure is logged once per sweep, not once per host.
  const std::vector<std::string>& log = out_.logged;
  EXPECT_EQ(std::ranges::count(log, "ARP error: sendto(ARP): Too many open files"), 1)
      << log.size();
}

TEST(ValidateMacTest, SeventeenCharactersOfHexAndColons) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"00:1a:2b:3c:4d:5e", "00:1A:2B:3C:4D:5E"},
      {"00:1A:2B:3C:4D:5E", "00:1A:2B:3C:4D:5E"},
      {"00:00:00:00:00:00", "00:00:00:00:00:00"},
      {"001A2B3C4D5E:::::", "001A2B3C4D5E:::::"},  // colon positions are not checked
      {"00:1A:2B:3C:4D:5", ""},
      {"00:1A:2B:3C:4D:5E0", ""},
      {"00:1A:2B:3C:4D:5G", ""},
      {"00-1A-2B-3C-4D-5E", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ValidateMac(c.in), c.out) << c.in;
}

TEST(LookupHostNameTest, NameOrUnknown) {
  test::FakeLookup lookup;
  lookup.names[Ip(10, 77, 1, 10)] = "linux1.lab.test";
  lookup.names[Ip(10, 77, 1, 12)] = "";
  struct Case {
    const char* ip;
    const char* name;
    bool asked;
  } cases[] = {
      {"10.77.1.10", "linux1.lab.test", true},
      {"10.77.1.11", "(unknown)", true},
      {"10.77.1.12", "(unknown)", true},
      {"10.77.1", "(unknown)", false},
      {"10.77.1.256", "(unknown)", false},
      {"10.77.1.10x", "(unknown)", false},
      {"", "(unknown)", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ip);
    lookup.asked.clear();
    EXPECT_EQ(LookupHostName(c.ip, lookup), c.name);
    EXPECT_EQ(!lookup.asked.empty(), c.asked);
  }
}

}  // namespace
}  // namespace ordalen
