#include "app/mib_accounts.h"

#include "base/text.h"

namespace ordalen {
namespace {

constexpr std::uint32_t kAddressBits = 32;

template <class Protocol>
struct ProtocolName {
  const char* name;
  Protocol value;
};

constexpr ProtocolName<SnmpAuthProtocol> kAuthNames[] = {
    {"MD5", SnmpAuthProtocol::kMd5},        {"SHA", SnmpAuthProtocol::kSha},
    {"SHA-224", SnmpAuthProtocol::kSha224}, {"SHA-256", SnmpAuthProtocol::kSha256},
    {"SHA-384", SnmpAuthProtocol::kSha384}, {"SHA-512", SnmpAuthProtocol::kSha512},
};
constexpr ProtocolName<SnmpPrivProtocol> kPrivNames[] = {
    {"DES", SnmpPrivProtocol::kDes},
    {"AES", SnmpPrivProtocol::kAes},
    {"AES-192", SnmpPrivProtocol::kAes192},
    {"AES-256", SnmpPrivProtocol::kAes256},
};

// The protocol of a name in `names`, `unnamed` for the empty text.
template <class Protocol, std::size_t N>
std::optional<Protocol> LookUp(const ProtocolName<Protocol> (&names)[N], std::string_view name,
                               Protocol unnamed) {
  if (name.empty()) return unnamed;
  for (const auto& entry : names) {
    if (EqualsNoCase(entry.name, name)) return entry.value;
  }
  return std::nullopt;
}

// An address exactly as IpText writes it.
std::optional<std::uint32_t> CanonicalAddress(std::string_view text) {
  const auto address = ParseDottedQuad(text);
  if (!address || IpText(*address) != text) return std::nullopt;
  return address;
}

// A prefix length 0 to 32 written without leading zeros.
std::optional<std::uint32_t> PrefixLength(std::string_view text) {
  if (text.empty() || text.size() > 2 || (text.size() == 2 && text[0] == '0')) return std::nullopt;
  std::uint32_t bits = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    bits = bits * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (bits > kAddressBits) return std::nullopt;
  return bits;
}

constexpr const char* kNotAScope = "first field is not an address, block, range or *";

std::variant<AccountScope, const char*> ParseScope(std::string_view text) {
  using Kind = AccountScope::Kind;
  if (text == "*") return AccountScope{Kind::kEveryDevice, 0, 0xFFFFFFFFu};
  if (const auto slash = text.find('/'); slash != std::string_view::npos) {
    const auto base = CanonicalAddress(text.substr(0, slash));
    const auto bits = PrefixLength(text.substr(slash + 1));
    if (!base || !bits) return kNotAScope;
    const std::uint32_t host_mask = *bits == 0 ? 0xFFFFFFFFu : (1u << (kAddressBits - *bits)) - 1;
    if ((*base & host_mask) != 0) return "block has address bits set past its prefix length";
    return AccountScope{Kind::kBlock, *base, *base | host_mask};
  }
  if (const auto dash = text.find('-'); dash != std::string_view::npos) {
    const auto first = CanonicalAddress(text.substr(0, dash));
    const auto last = CanonicalAddress(text.substr(dash + 1));
    if (!first || !last) return kNotAScope;
    if (*last < *first) return "range ends before it starts";
    return AccountScope{Kind::kBlock, *first, *last};
  }
  if (const auto address = CanonicalAddress(text)) {
    return AccountScope{Kind::kAddress, *address, *address};
  }
  return kNotAScope;
}

}  // namespace

SnmpSecurityLevel SecurityLevelOf(const MIB_ACCOUNT& account) {
  if (account.authPassphrase.empty()) return SnmpSecurityLevel::kNoAuthNoPriv;
  if (account.privProtocol != SnmpPrivProtocol::kNone) return SnmpSecurityLevel::kAuthPriv;
  return SnmpSecurityLevel::kAuthNoPriv;
}

std::optional<SnmpAuthProtocol> ParseAuthProtocol(std::string_view name) {
  return LookUp(kAuthNames, name, SnmpAuthProtocol::kMd5);
}

std::optional<SnmpPrivProtocol> ParsePrivProtocol(std::string_view name) {
  return LookUp(kPrivNames, name, SnmpPrivProtocol::kNone);
}

std::variant<AccountLine, const char*> ParseAccountLine(const std::vector<std::string>& fields) {
  if (fields.size() < 3) return "fewer than three fields";
  const auto field = [&](std::size_t index) -> std::string_view {
    return index < fields.size() ? std::string_view(fields[index]) : std::string_view();
  };
  const auto scope = ParseScope(fields[0]);
  if (const auto* why = std::get_if<const char*>(&scope)) return *why;

  AccountLine line;
  line.scope = std::get<AccountScope>(scope);
  line.account.userName = fields[1];
  line.account.authPassphrase = fields[2];
  const auto auth = ParseAuthProtocol(field(3));
  if (!auth) return "unknown authentication protocol";
  const auto priv = ParsePrivProtocol(field(4));
  if (!priv) return "unknown privacy protocol";
  line.account.authProtocol = *auth;
  line.account.privProtocol = *priv;
  line.account.privPassphrase = std::string(field(5));

  const MIB_ACCOUNT& account = line.account;
  if (!account.authPassphrase.empty() && account.authPassphrase.size() < kMinPassphraseLength) {
    return "authentication pass phrase shorter than 8 characters";
  }
  if (account.privProtocol == SnmpPrivProtocol::kNone) {
    if (!account.privPassphrase.empty()) return "privacy pass phrase without a privacy protocol";
  } else {
    if (account.authPassphrase.empty()) return "privacy without authentication";
    if (account.privPassphrase.empty()) return "privacy protocol without a privacy pass phrase";
    if (account.privPassphrase.size() < kMinPassphraseLength) {
      return "privacy pass phrase shorter than 8 characters";
    }
  }
  return line;
}

void MibAccountTable::Add(const AccountLine& line) {
  switch (line.scope.kind) {
    case AccountScope::Kind::kAddress:
      addresses_[IpText(line.scope.first)] = line.account;
      break;
    case AccountScope::Kind::kBlock:
      blocks_.push_back(Block{line.scope.first, line.scope.last, line.account});
      break;
    case AccountScope::Kind::kEveryDevice:
      if (!every_device_) every_device_ = line.account;
      break;
  }
}

MIB_ACCOUNT& MibAccountTable::operator[](std::string_view address) {
  return addresses_[address];
}

const MIB_ACCOUNT* MibAccountTable::Find(std::string_view address) const {
  if (const MIB_ACCOUNT* exact = addresses_.Find(address)) return exact;
  if (const auto number = ParseDottedQuad(address); number && !blocks_.empty()) {
    const Block* narrowest = nullptr;
    for (const Block& block : blocks_) {
      if (*number < block.first || *number > block.last) continue;
      // Strictly narrower only: the earlier of two equal blocks stays.
      if (narrowest == nullptr || block.last - block.first < narrowest->last - narrowest->first) {
        narrowest = &block;
      }
    }
    if (narrowest != nullptr) return &narrowest->account;
  }
  return every_device_ ? &*every_device_ : nullptr;
}

std::size_t MibAccountTable::size() const {
  return addresses_.size() + blocks_.size() + (every_device_ ? 1 : 0);
}

void MibAccountTable::RemoveAll() {
  addresses_.RemoveAll();
  blocks_.clear();
  every_device_.reset();
}

}  // namespace ordalen
