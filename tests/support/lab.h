// Lab tests: the running lab (read from its env file), its scanner namespace,
// and runs of the built program there.
//
// ctest hands every lab test the env file of the lab its fixture brought up in
// ORDALEN_LAB_ENV (keys in tests/lab/LAB.md). A test starts with
//
//   ORDALEN_REQUIRE_LAB(lab);
//
// which skips it with a clear message where no lab can exist (no root, no network
// namespaces, not run through ctest) and fails it when the lab it was given is
// broken. Then either lab.EnterScanner() (before the test creates any thread)
// and real sockets, or lab.Run(...) / RunOrdalen(...), which run programs inside
// the lab through `ip netns exec`.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/process.h"

namespace ordalen::test {

class Lab {
 public:
  enum class Availability { kReady, kSkip, kBroken };

  // Loads the lab named by ORDALEN_LAB_ENV into `lab`. kSkip: no lab can be used
  // here (the reason says why); kBroken: a lab was promised but is not usable.
  static Availability Load(std::optional<Lab>& lab, std::string& reason);

  // Parses env-file text (KEY=value lines, values optionally in single or double
  // quotes, '#' comments); nullopt when a line is malformed.
  static std::optional<std::map<std::string, std::string>> ParseEnv(std::string_view text);

  // The value of an env-file key; empty when the key is absent.
  [[nodiscard]] std::string Value(const std::string& key) const;
  [[nodiscard]] bool Has(const std::string& key) const { return values_.count(key) != 0; }
  [[nodiscard]] const std::map<std::string, std::string>& values() const { return values_; }

  // Per-host keys, by host key (LINUX1, WIN1, ...; any case).
  [[nodiscard]] std::string Ip(std::string_view host) const;
  [[nodiscard]] std::string Mac(std::string_view host) const;
  [[nodiscard]] std::string HostName(std::string_view host) const;  // empty: no name
  // Namespace of "scanner", "bridge" or a host key.
  [[nodiscard]] std::string Namespace(std::string_view where) const;
  [[nodiscard]] const std::string& ScannerNamespace() const { return scanner_ns_; }
  // The host keys of the topology, in LAB.md order.
  static const std::vector<std::string>& HostKeys();

  // Moves this process into the scanner namespace the way `ip netns exec` does:
  // its network namespace, and a mount namespace of its own in which the lab's
  // hosts file and resolv.conf cover /etc/hosts and /etc/resolv.conf and /sys
  // shows the lab's cards. Only a process with a single thread can be moved
  // whole, so call it before anything starts a thread. Empty on success, else
  // the reason. A second call is a no-op.
  [[nodiscard]] std::string EnterScanner() const;

  // Runs argv inside "scanner" or a host's namespace (ip netns exec).
  [[nodiscard]] ProcessResult Run(std::string_view where, const std::vector<std::string>& argv,
                                  std::chrono::milliseconds limit,
                                  const std::string& cwd = {}) const;

 private:
  std::map<std::string, std::string> values_;
  std::string scanner_ns_;
};

// The three files beside the program; a file left empty (nullopt) is not written.
struct OrdalenFiles {
  std::optional<std::string> config_ini;
  std::optional<std::string> accounts_csv;
  std::optional<std::string> target_mib_xml;
};

// One run of the program inside the lab. The folder, with the copy of the
// program, its files, log and result, lives as long as this object.
struct OrdalenRun {
  ProcessResult process;              // exit code, time-out, stdout, stderr
  std::filesystem::path folder;       // where the copy ran
  std::string log;                    // OrdalenLog/ordalen.log
  std::filesystem::path result_file;  // newest Ordalen/*.xml; empty when none
  std::string result_text;            // its bytes
  std::unique_ptr<TempDir> dir;
  std::string error;  // set when the run could not be prepared
};

// Copies the built program (ORDALEN_BINARY) into a fresh folder with `files`,
// runs it there with `args` inside the scanner namespace, and collects what it
// left. A run past `limit` is killed (process.timed_out). A `launcher` runs the
// program: its words come first, then the copy's path and `args`.
OrdalenRun RunOrdalen(const Lab& lab, const OrdalenFiles& files,
                      const std::vector<std::string>& args, std::chrono::milliseconds limit,
                      const std::vector<std::string>& launcher = {});

// One NODE of a result file: its child elements in document order, each as
// (name, text); a VARIABLE element is named "VARIABLE:" followed by its oid.
struct ResultNode {
  std::vector<std::pair<std::string, std::string>> fields;
  [[nodiscard]] std::optional<std::string> Field(std::string_view name) const;
};

struct ResultDocument {
  std::string error;  // empty when the file parsed
  std::string declaration_encoding;
  std::string root_name;
  std::string scan_date;
  int network_card_count = 0;
  std::vector<ResultNode> nodes;
  [[nodiscard]] const ResultNode* FindByIp(std::string_view ip) const;
};

// Reads a result file with libxml2 (as its declared encoding says).
ResultDocument ParseResultFile(const std::filesystem::path& path);

}  // namespace ordalen::test

// Skips the calling test where no lab can be used, fails it where the lab is
// broken, and otherwise declares `const Lab& var`.
#define ORDALEN_REQUIRE_LAB(var)                                        \
  std::optional<::ordalen::test::Lab> var##_loaded_;                    \
  {                                                                     \
    std::string var##_reason_;                                          \
    switch (::ordalen::test::Lab::Load(var##_loaded_, var##_reason_)) { \
      case ::ordalen::test::Lab::Availability::kReady:                  \
        break;                                                          \
      case ::ordalen::test::Lab::Availability::kSkip:                   \
        GTEST_SKIP() << var##_reason_;                                  \
      case ::ordalen::test::Lab::Availability::kBroken:                 \
        FAIL() << var##_reason_;                                        \
    }                                                                   \
  }                                                                     \
  const ::ordalen::test::Lab& var = *var##_loaded_
