// SNMPv3 accounts of "accounts.csv": one line taken apart, and the choice of
// the account for a device.
//
// A line is: where, user name, authentication pass phrase, then optionally
// authentication protocol, privacy protocol, privacy pass phrase; fields past the
// sixth are ignored. "Where" is one address, a CIDR block ("10.20.0.0/16"), an
// inclusive range ("10.20.1.1-10.20.1.99") or "*" (every device), addresses
// written as the scanner writes them (decimal, no leading zeros). Protocol names
// compare without regard to case; empty or absent ones mean MD5 and no privacy.
// An empty authentication pass phrase means noAuthNoPriv with that user name.
//
// A device's account is the line of its own address (a later line for the same
// address replaces an earlier one); else the line of the narrowest block or range
// that holds the address (between equally narrow ones the first line wins); else
// the first "*" line; else none.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/cmap.h"

namespace ordalen {

enum class SnmpAuthProtocol { kMd5, kSha, kSha224, kSha256, kSha384, kSha512 };
enum class SnmpPrivProtocol { kNone, kDes, kAes, kAes192, kAes256 };
enum class SnmpSecurityLevel { kNoAuthNoPriv, kAuthNoPriv, kAuthPriv };

// The shortest pass phrase (in bytes) the SNMP library turns into a key.
inline constexpr std::size_t kMinPassphraseLength = 8;

// SNMPv3 credentials of one device (a line of "accounts.csv").
struct MIB_ACCOUNT {
  std::string userName;
  std::string authPassphrase;  // empty: no authentication
  SnmpAuthProtocol authProtocol = SnmpAuthProtocol::kMd5;
  SnmpPrivProtocol privProtocol = SnmpPrivProtocol::kNone;
  std::string privPassphrase{};
};

// noAuthNoPriv without an authentication pass phrase, authPriv with a privacy
// protocol, authNoPriv otherwise.
SnmpSecurityLevel SecurityLevelOf(const MIB_ACCOUNT& account);

// "MD5", "SHA", "SHA-224", "SHA-256", "SHA-384", "SHA-512" in any case; the empty
// text is MD5. nullopt for any other text.
std::optional<SnmpAuthProtocol> ParseAuthProtocol(std::string_view name);
// "DES", "AES", "AES-192", "AES-256" in any case; the empty text is no privacy.
std::optional<SnmpPrivProtocol> ParsePrivProtocol(std::string_view name);

// The addresses a line applies to, inclusive, in host byte order.
struct AccountScope {
  enum class Kind { kAddress, kBlock, kEveryDevice };
  Kind kind = Kind::kAddress;
  std::uint32_t first = 0;
  std::uint32_t last = 0;
};

// One line of the file, ready for the table.
struct AccountLine {
  AccountScope scope;
  MIB_ACCOUNT account;
};

// Takes the fields of one line apart. When the line cannot be used, the reason
// (a fixed text naming no field's content, so never a pass phrase): fewer than
// three fields, a first field of no known form, an unknown protocol name, a
// pass phrase shorter than kMinPassphraseLength, privacy without its protocol,
// its pass phrase or authentication.
std::variant<AccountLine, const char*> ParseAccountLine(const std::vector<std::string>& fields);

// The accounts of the settings (SCANCONFIG::mibAccounts).
class MibAccountTable {
 public:
  // Stores a line by its scope, as the file's order demands (see the top).
  void Add(const AccountLine& line);

  // The account of one address text (exact lines only); inserted empty when new.
  MIB_ACCOUNT& operator[](std::string_view address);

  // The account of the device at `address` (dotted text), as chosen at the top
  // of this file; nullptr when none applies.
  [[nodiscard]] const MIB_ACCOUNT* Find(std::string_view address) const;

  // Lines held: addresses, blocks and ranges, and "*" (one at most).
  [[nodiscard]] std::size_t size() const;
  void RemoveAll();

 private:
  struct Block {
    std::uint32_t first;
    std::uint32_t last;
    MIB_ACCOUNT account;
  };

  CMap<MIB_ACCOUNT> addresses_;
  std::vector<Block> blocks_;  // in file order
  std::optional<MIB_ACCOUNT> every_device_;
};

}  // namespace ordalen
