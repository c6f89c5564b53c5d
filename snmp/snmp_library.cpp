#include "snmp/snmp_library.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "app/log.h"
#include "snmp/netsnmp.h"

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

}  // namespace ordalen
