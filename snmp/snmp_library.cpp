#include "snmp/snmp_library.h"

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "app/log.h"
#include "app/settings.h"
#include "base/socket_mutex.h"
#include "snmp/netsnmp.h"

#ifndef NETSNMP_DRAFT_BLUMENTHAL_AES_04
#error "the SNMP library was built without AES-192 and AES-256"
#endif

namespace ordalen {
namespace {

// The walk tool's boolean options, registered as the library's tools do.
struct WalkOption {
  const char* token;
  int id;
};
constexpr WalkOption kWalkOptions[] = {
    {"includeRequested", 1},  {"excludeRequested", 5}, {"printStatistics", 2},
    {"dontCheckOrdering", 3}, {"timeResults", 4},      {"timeResultsSingle", 6},
};

// Environment variables through which the invoking shell could make the library
// read configuration or MIB files from anywhere else than the folders above.
constexpr const char* kRedirectingVariables[] = {"SNMPCONFPATH", "SNMP_PERSISTENT_FILE", "MIBFILES",
                                                 "SNMP_PERSISTENT_DIR", "MIBDIRS"};

std::span<oid> AuthProtocolOid(SnmpAuthProtocol protocol) {
  switch (protocol) {
    case SnmpAuthProtocol::kMd5:
      return usmHMACMD5AuthProtocol;
    case SnmpAuthProtocol::kSha:
      return usmHMACSHA1AuthProtocol;
    case SnmpAuthProtocol::kSha224:
      return usmHMAC128SHA224AuthProtocol;
    case SnmpAuthProtocol::kSha256:
      return usmHMAC192SHA256AuthProtocol;
    case SnmpAuthProtocol::kSha384:
      return usmHMAC256SHA384AuthProtocol;
    case SnmpAuthProtocol::kSha512:
      return usmHMAC384SHA512AuthProtocol;
  }
  return usmHMACMD5AuthProtocol;
}

std::span<oid> PrivProtocolOid(SnmpPrivProtocol protocol) {
  switch (protocol) {
    case SnmpPrivProtocol::kDes:
      return usmDESPrivProtocol;
    case SnmpPrivProtocol::kAes:
      return usmAESPrivProtocol;
    case SnmpPrivProtocol::kAes192:
      return usmAES192PrivProtocol;
    case SnmpPrivProtocol::kAes256:
      return usmAES256PrivProtocol;
    case SnmpPrivProtocol::kNone:
      break;
  }
  return usmNoPrivProtocol;
}

// Master keys by (protocol, pass phrase); written and read under SocketMutex.
using KeyCache = std::map<std::pair<SnmpAuthProtocol, std::string>, std::vector<u_char>>;
KeyCache& Keys() {
  static KeyCache keys;
  return keys;
}

// Copies the master key of `passphrase` into `key` (room for USM_AUTH_KU_LEN
// bytes) and its length into `length`; false when the library refuses it.
bool CopyMasterKey(SnmpAuthProtocol protocol, const std::string& passphrase, u_char* key,
                   std::size_t& length) {
  // The hashing reads no library state, but its complaints go through the
  // library's shared log and error detail, so it runs under the lock too.
  std::lock_guard<std::mutex> lock(SocketMutex());
  KeyCache& keys = Keys();
  auto found = keys.find({protocol, passphrase});
  if (found == keys.end()) {
    std::vector<u_char> made(USM_AUTH_KU_LEN);
    std::size_t made_length = made.size();
    std::string phrase = passphrase;
    const std::span<oid> hash = AuthProtocolOid(protocol);
    if (generate_Ku(hash.data(), hash.size(), reinterpret_cast<u_char*>(phrase.data()),
                    phrase.size(), made.data(), &made_length) != SNMPERR_SUCCESS) {
      // The library keeps the reason in its one error-detail buffer for the next
      // error message of any session; it belongs to this failure only.
      snmp_api_errstring(SNMPERR_GENERR);
      return false;
    }
    made.resize(made_length);
    found = keys.emplace(std::make_pair(protocol, passphrase), std::move(made)).first;
  }
  std::copy(found->second.begin(), found->second.end(), key);
  length = found->second.size();
  return true;
}

// The library needs absolute folders (it takes a relative one from the root).
// Without a known folder its files go below the working directory.
std::string AbsoluteBase(std::string dir) {
  for (char& c : dir) {
    if (c == '\\') c = '/';
  }
  std::error_code error;
  std::string base =
      std::filesystem::absolute(dir.empty() ? "." : dir, error).lexically_normal().string();
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base;
}

void Prepare() {
  const SnmpFolders folders = SnmpFoldersFor(SettingsFolder(), WorkFolder());
  // Made here so the library never announces creating them on the console.
  std::error_code ignored;
  std::filesystem::create_directories(folders.persist + "/cert_indexes", ignored);
  std::filesystem::create_directories(folders.mibs, ignored);

  for (const char* name : kRedirectingVariables) unsetenv(name);
  // No MIB module is loaded: OIDs are numeric, and a missing module would only
  // print warnings.
  setenv("MIBS", "", 1);

  for (const auto& option : kWalkOptions) {
    netsnmp_ds_register_config(ASN_BOOLEAN, "snmpwalk", option.token, NETSNMP_DS_APPLICATION_ID,
                               option.id);
  }
  netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_PERSISTENT_DIR,
                        folders.persist.c_str());
  netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_CONFIGURATION_DIR,
                        folders.config.c_str());
  netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIBDIRS, folders.mibs.c_str());
  // Per-host files would be read (and could change global settings) at every
  // session open.
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_LOAD_HOST_FILES, 1);
  init_snmp("snmpapp");
}

}  // namespace

SnmpFolders SnmpFoldersFor(const std::string& settings_dir, const std::string& work_dir) {
  const std::string settings = AbsoluteBase(settings_dir);
  const std::string work = AbsoluteBase(work_dir);
  return {work + "/snmp/snmp/persist", settings + "/snmp/share/snmp",
          settings + "/snmp/share/snmp/mibs"};
}

std::string SnmpLibraryBuildVersion() {
  return PACKAGE_VERSION;
}

std::string SnmpLibraryVersion() {
  return netsnmp_get_version();
}

void InitSnmpLibrary() {
  static std::once_flag once;
  std::call_once(once, Prepare);
}

UsmKeys SetUsmSecurity(const MIB_ACCOUNT& account, netsnmp_session& session) {
  const SnmpSecurityLevel level = SecurityLevelOf(account);
  if (level == SnmpSecurityLevel::kNoAuthNoPriv) {
    session.securityLevel = SNMP_SEC_LEVEL_NOAUTH;
    return UsmKeys::kReady;
  }
  const std::span<oid> auth = AuthProtocolOid(account.authProtocol);
  session.securityAuthProto = auth.data();
  session.securityAuthProtoLen = auth.size();
  static_assert(sizeof(session.securityAuthKey) == USM_AUTH_KU_LEN);
  if (!CopyMasterKey(account.authProtocol, account.authPassphrase, session.securityAuthKey,
                     session.securityAuthKeyLen)) {
    return UsmKeys::kAuthKeyRefused;
  }
  if (level == SnmpSecurityLevel::kAuthNoPriv) {
    session.securityLevel = SNMP_SEC_LEVEL_AUTHNOPRIV;
    return UsmKeys::kReady;
  }
  const std::span<oid> priv = PrivProtocolOid(account.privProtocol);
  session.securityPrivProto = priv.data();
  session.securityPrivProtoLen = priv.size();
  static_assert(sizeof(session.securityPrivKey) == USM_AUTH_KU_LEN);
  if (!CopyMasterKey(account.authProtocol, account.privPassphrase, session.securityPrivKey,
                     session.securityPrivKeyLen)) {
    return UsmKeys::kPrivKeyRefused;
  }
  session.securityLevel = SNMP_SEC_LEVEL_AUTHPRIV;
  return UsmKeys::kReady;
}

std::size_t MasterKeysComputed() {
  std::lock_guard<std::mutex> lock(SocketMutex());
  return Keys().size();
}

}  // namespace ordalen
