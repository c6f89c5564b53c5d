// SNMPv3 as managed networks run it: one scan of devices that answer only
// SNMPv3, each with one user of its own protocols (scripts/lab/v3_agents.py,
// on extra addresses of the LINUX2 host), identified through the third way of
// the MIB phase with accounts written for addresses, blocks, ranges and "*";
// and devices whose account is wrong, which cost their GETs and nothing more.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "base/text.h"
#include "support/lab.h"
#include "support/lab_peer.h"
#include "support/scan_checks.h"

namespace ordalen {
namespace {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

const std::string kScripts = std::string(ORDALEN_SOURCE_DIR) + "/scripts/lab/";
constexpr const char* kHost = "LINUX2";
constexpr const char* kJob = "3";
constexpr const char* kRange = "10.77.2.128-10.77.2.175";

// One agent of the scan: what its line of kAccountsCsv tests, its address, its
// user and protocols (as v3_agents.py takes them after the address), whether
// the scan must identify it, and else the outcome of each of its SNMPv3 GETs.
struct Device {
  const char* what;
  const char* address;
  const char* agent;
  bool identified;
  const char* v3_outcome;  // after the address; nullptr when identified
};

constexpr Device kDevices[] = {
    {"SHA-256 + AES through a CIDR line", "10.77.2.131",
     "v3-sha256-aes,SHA-256,auth-sha256-aes,AES,priv-sha256-aes", true, nullptr},
    {"SHA-512 + AES-256 through a range narrower than the CIDR line", "10.77.2.132",
     "v3-sha512-aes256,SHA-512,auth-sha512-aes256,AES-256,priv-sha512-aes256", true, nullptr},
    {"SHA + DES through its own line over a range and a block", "10.77.2.133",
     "v3-sha-des,SHA,auth-sha-des,DES,priv-sha-des", true, nullptr},
    {"MD5 without privacy, a three-field line", "10.77.2.134", "v3-md5,MD5,auth-md5-only", true,
     nullptr},
    {"noAuthNoPriv through the * line", "10.77.2.170", "v3-noauth", true, nullptr},
    {"wrong privacy pass phrase", "10.77.2.135",
     "v3-wrongpriv,SHA-256,auth-wrongpriv,AES,priv-wrongpriv", false, "|Timeout"},
    {"wrong authentication protocol", "10.77.2.136",
     "v3-wrongauth,SHA-256,auth-wrongauth,AES,priv-wrongauth", false,
     "|Error [1]Authentication failure (incorrect password, community or key)"},
    {"unknown user", "10.77.2.137", "v3-known,SHA,auth-known-user", false,
     "|Error [1]Unknown user name"},
};

// The file's lines are not in the order of the devices: the choice must not
// depend on it.
constexpr const char* kAccountsCsv =
    "*,v3-noauth,\"\"\r\n"  // an empty last field is written "" (a last comma ends the line)
    "10.77.2.128/27,v3-sha256-aes,auth-sha256-aes,SHA-256,AES,priv-sha256-aes\r\n"
    "10.77.2.132-10.77.2.133,v3-sha512-aes256,auth-sha512-aes256,sha-512,aes-256,"
    "\"priv-sha512-aes256\"\r\n"
    "10.77.2.133,v3-sha-des,auth-sha-des,SHA,DES,priv-sha-des\r\n"
    "10.77.2.134,v3-md5,auth-md5-only\r\n"
    "10.77.2.135,v3-wrongpriv,auth-wrongpriv,SHA-256,AES,not-the-privacy-pass\r\n"
    "10.77.2.136,v3-wrongauth,auth-wrongauth,SHA-512,AES,priv-wrongauth\r\n"
    "10.77.2.137,nobody,auth-known-user,SHA\r\n";

std::string UserOf(const Device& device) {
  const std::string agent = device.agent;
  return agent.substr(0, agent.find(','));
}

// The fields of an agent's user line ("user[,auth,pass[,priv,pass]]").
std::vector<std::string> UserFields(const std::string& user_line) {
  std::vector<std::string> fields;
  for (std::size_t at = 0; at <= user_line.size();) {
    const std::size_t comma = std::min(user_line.find(',', at), user_line.size());
    fields.push_back(user_line.substr(at, comma - at));
    at = comma + 1;
  }
  return fields;
}

// The messages of the log's lines: time stamp and job removed.
Lines Messages(const std::string& log) {
  Lines messages;
  const std::string job = std::string(kJob) + "|";
  for (std::size_t at = 0; at < log.size();) {
    std::size_t end = log.find("\r\n", at);
    if (end == std::string::npos) end = log.size();
    std::string message = log.substr(at, end - at);
    at = end + 2;
    message.erase(0, message.find('|') + 1);
    if (StartsWith(message, job)) message.erase(0, job.size());
    messages.push_back(message);
  }
  return messages;
}

// Every SNMPv3 GET of `address` in the log: its lines from "MIB[address] snmp
// v3" to its "address|scan end" (one device's GETs run one after the other).
std::vector<Lines> V3Calls(const std::string& log, const std::string& address) {
  std::vector<Lines> calls;
  bool inside = false;
  for (const std::string& message : Messages(log)) {
    if (message == "MIB[" + address + "] snmp v3") {
      calls.push_back({message});
      inside = true;
    } else if (StartsWith(message, "MIB[" + address + "] snmp v")) {
      inside = false;
    } else if (inside && StartsWith(message, address + "|")) {
      calls.back().push_back(message);
      inside = message != address + "|scan end";
    }
  }
  return calls;
}

TEST(Snmpv3LabTest, ScanIdentifiesV3OnlyDevicesThroughTheAccountTheirAddressChooses) {
  ORDALEN_REQUIRE_LAB(lab);
  std::vector<std::string> addresses;
  std::vector<std::string> peer_args;
  for (const auto& d : kDevices) {
    addresses.push_back(d.address);
    peer_args.insert(peer_args.end(), {"--agent", std::string(d.address) + "," + d.agent});
  }
  test::LabAddresses extra(lab, kHost, addresses);
  ASSERT_TRUE(extra.error().empty()) << extra.error();
  test::LabPeer agents(lab, kHost, kScripts + "v3_agents.py", peer_args);
  ASSERT_TRUE(agents.WaitReady()) << agents.Err();

  // Before the scan, each agent answers the library's own tool with its own
  // user, so the failures below are the accounts', not the agents'.
  const std::string snmp_folder = lab.Value("LAB_STATE_DIR") + "/scanner/snmp";
  for (const auto& d : kDevices) {
    const std::vector<std::string> user = UserFields(d.agent);
    const char* level = user.size() == 1   ? "noAuthNoPriv"
                        : user.size() == 3 ? "authNoPriv"
                                           : "authPriv";
    std::vector<std::string> argv = {"env", "MIBS=", "MIBDIRS=/nonexistent",
                                     "SNMPCONFPATH=" + snmp_folder,
                                     "SNMP_PERSISTENT_DIR=" + snmp_folder};
    argv.insert(argv.end(),
                {"snmpget", "-v3", "-t", "1", "-r", "0", "-Oqv", "-u", user[0], "-l", level});
    if (user.size() >= 3) argv.insert(argv.end(), {"-a", user[1], "-A", user[2]});
    if (user.size() == 5) argv.insert(argv.end(), {"-x", user[3], "-X", user[4]});
    argv.insert(argv.end(), {d.address, lab.Value("LAB_SNMP_MODEL_OID")});
    const auto got = lab.Run("scanner", argv, milliseconds(5000));
    EXPECT_EQ(got.out, "\"V3Agent " + user[0] + "\"\n") << d.agent << "\n" << got.err;
  }

  test::OrdalenFiles files;
  // A community no agent knows: the first two ways get no answer, the third
  // alone can identify.
  files.config_ini = "[Ordalen]\r\nThread=12\r\nWinPort=3389\r\nCommunity=not-known-here\r\n";
  files.accounts_csv = kAccountsCsv;
  files.target_mib_xml = "<?xml version=\"1.0\"?><Root><Target><ModelMIB>" +
                         lab.Value("LAB_SNMP_MODEL_OID") +
                         "</ModelMIB><Model>V3Agent</Model><VersionMIB>" +
                         lab.Value("LAB_SNMP_FW_OID") + "</VersionMIB></Target></Root>";
  const auto started = Clock::now();
  const test::OrdalenRun run = test::RunOrdalen(lab, files, {kJob, kRange}, milliseconds(180000));
  const double took = std::chrono::duration<double>(Clock::now() - started).count();
  const std::string counts = agents.Stop();
  ASSERT_TRUE(run.error.empty()) << run.error;
  ASSERT_FALSE(run.process.timed_out) << run.process.out;
  EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
  std::printf("scan of %zu SNMPv3-only devices: %.1f s\nrequests each agent received:\n%s",
              std::size(kDevices), took, counts.c_str());
  EXPECT_EQ(test::CheckLogLines(run.log, kJob), "");
  ASSERT_FALSE(run.result_file.empty()) << run.process.out;
  const test::ResultDocument result = test::ParseResultFile(run.result_file);
  ASSERT_TRUE(result.error.empty()) << result.error;

  for (const auto& d : kDevices) {
    SCOPED_TRACE(d.what);
    const test::ResultNode* node = result.FindByIp(d.address);
    ASSERT_NE(node, nullptr) << run.process.out;
    const std::vector<Lines> calls = V3Calls(run.log, d.address);
    ASSERT_FALSE(calls.empty()) << run.log;
    const std::string a = d.address;
    if (d.identified) {
      EXPECT_EQ(node->Field("VARIABLE:model_name").value_or("<none>"), "V3Agent " + UserOf(d));
      EXPECT_EQ(node->Field("VARIABLE:firm_version").value_or("<none>"), "FW " + UserOf(d));
      // The model's GET and the firmware's, each answered.
      EXPECT_EQ(calls, (std::vector<Lines>{{"MIB[" + a + "] snmp v3", a + "|scan end"},
                                           {"MIB[" + a + "] snmp v3", a + "|scan end"}}));
    } else {
      EXPECT_EQ(node->Field("VARIABLE:model_name"), std::nullopt);
      for (const Lines& call : calls) {
        EXPECT_EQ(call, (Lines{"MIB[" + a + "] snmp v3", a + d.v3_outcome, a + "|scan end"}));
      }
    }
  }
  // No pass phrase of the file reached the log.
  for (const char* secret : {"auth-", "priv-", "not-the-privacy-pass"}) {
    EXPECT_EQ(run.log.find(secret), std::string::npos) << secret;
  }
}

}  // namespace
}  // namespace ordalen
