// An "accounts.csv" file read line by line with CCsvFile::ReadData, each line
// taken apart with ParseAccountLine and stored in an account table.
#include <string>
#include <vector>

#include "app/config.h"
#include "app/mib_accounts.h"
#include "base/text.h"
#include "fuzz_check.h"

namespace {

// The lines as the reader must see them: LF ends a line, a CR before that LF
// belongs to the line end. (A byte-order mark is dropped by Open, which reads
// the file; text handed over in memory is taken as it is.)
std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const auto lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (lf != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    lines.emplace_back(line);
    text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
  }
  return lines;
}

bool SameAccount(const ordalen::MIB_ACCOUNT& a, const ordalen::MIB_ACCOUNT& b) {
  return a.userName == b.userName && a.authPassphrase == b.authPassphrase &&
         a.authProtocol == b.authProtocol && a.privProtocol == b.privProtocol &&
         a.privPassphrase == b.privPassphrase;
}

// What ParseAccountLine promises of one line's fields.
void CheckAccountLine(const std::vector<std::string>& fields, ordalen::MibAccountTable& table) {
  using namespace ordalen;
  const auto parsed = ParseAccountLine(fields);
  if (const auto* why = std::get_if<const char*>(&parsed)) {
    FUZZ_CHECK(*why != nullptr && **why != '\0');
    return;
  }
  const AccountLine& line = std::get<AccountLine>(parsed);
  const MIB_ACCOUNT& account = line.account;
  FUZZ_CHECK(fields.size() >= 3);
  FUZZ_CHECK(account.userName == fields[1] && account.authPassphrase == fields[2]);
  FUZZ_CHECK(line.scope.first <= line.scope.last);
  switch (SecurityLevelOf(account)) {
    case SnmpSecurityLevel::kNoAuthNoPriv:
      FUZZ_CHECK(account.privProtocol == SnmpPrivProtocol::kNone);
      FUZZ_CHECK(account.privPassphrase.empty());
      break;
    case SnmpSecurityLevel::kAuthNoPriv:
      FUZZ_CHECK(account.authPassphrase.size() >= kMinPassphraseLength);
      FUZZ_CHECK(account.privPassphrase.empty());
      break;
    case SnmpSecurityLevel::kAuthPriv:
      FUZZ_CHECK(account.authPassphrase.size() >= kMinPassphraseLength);
      FUZZ_CHECK(account.privPassphrase.size() >= kMinPassphraseLength);
      FUZZ_CHECK(fields.size() >= 6 && account.privPassphrase == fields[5]);
      break;
  }
  table.Add(line);
  const std::string first = IpText(line.scope.first);
  const MIB_ACCOUNT* found = table.Find(first);
  FUZZ_CHECK(found != nullptr);
  if (line.scope.kind == AccountScope::Kind::kAddress) {
    // Written as the scanner writes addresses, and the latest line of its address.
    FUZZ_CHECK(first == fields[0]);
    FUZZ_CHECK(SameAccount(*found, account));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ordalen;
  const std::string_view text = fuzz::Text(data, size);
  const std::vector<std::string> lines = Lines(text);
  CCsvFile file{std::string(text)};
  // Left over from an earlier line: ReadData must replace, never keep, them.
  std::vector<std::string> fields = {"stale-1", "stale-2", "stale-3", "stale-4"};
  std::size_t index = 0;
  MibAccountTable table;
  while (file.ReadData(fields)) {
    CheckAccountLine(fields, table);
    FUZZ_CHECK(index < lines.size());
    const std::string& line = lines[index++];
    std::size_t field_bytes = 0;
    for (const auto& field : fields) field_bytes += field.size();
    FUZZ_CHECK(field_bytes <= line.size());
    FUZZ_CHECK(fields.size() <= line.size());
    if (line.find('"') == std::string::npos) {
      // Without quotes the fields are the line split at its commas, less the
      // empty field after a last comma.
      std::string joined;
      for (std::size_t i = 0; i < fields.size(); ++i) joined += (i ? "," : "") + fields[i];
      FUZZ_CHECK(joined == line || joined + "," == line);
    }
  }
  FUZZ_CHECK(index == lines.size());
  // At the end the fields of the last line stay as they were.
  const auto before = fields;
  FUZZ_CHECK(!file.ReadData(fields) && fields == before);
  return 0;
}
