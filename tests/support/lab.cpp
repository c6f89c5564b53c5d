#include "support/lab.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/xml_doc.h"

namespace ordalen::test {
namespace {

namespace fs = std::filesystem;

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string ErrnoText(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

bool IsKeyChar(char c, bool first) {
  return c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (!first && c >= '0' && c <= '9');
}

// One shell word: quotes and backslashes as the shell reads them; nothing but
// white space or a comment may follow it.
std::optional<std::string> ParseShellValue(std::string_view text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == ' ' || c == '\t') break;
    if (c == '\'') {
      const std::size_t end = text.find('\'', i + 1);
      if (end == std::string_view::npos) return std::nullopt;
      out.append(text.substr(i + 1, end - i - 1));
      i = end + 1;
    } else if (c == '"') {
      ++i;
      for (;; ++i) {
        if (i >= text.size()) return std::nullopt;
        if (text[i] == '"') break;
        if (text[i] == '\\' && i + 1 < text.size() && std::strchr("\"\\$`", text[i + 1]) != nullptr)
          ++i;
        out.push_back(text[i]);
      }
      ++i;
    } else if (c == '\\') {
      if (i + 1 >= text.size()) return std::nullopt;
      out.push_back(text[i + 1]);
      i += 2;
    } else {
      out.push_back(c);
      ++i;
    }
  }
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i < text.size() && text[i] != '#') return std::nullopt;
  return out;
}

std::optional<fs::path> NewestResultFile(const fs::path& folder) {
  std::error_code ec;
  std::optional<fs::path> newest;
  for (const auto& entry : fs::directory_iterator(folder / "Ordalen", ec)) {
    if (!entry.is_regular_file() || entry.path().extension() != ".xml") continue;
    // Result files are named by their scan time, so the greatest name is the newest.
    if (!newest || entry.path().filename() > newest->filename()) newest = entry.path();
  }
  return newest;
}

std::string NodeText(const xmlNode* node) {
  XmlCharPtr text(xmlNodeGetContent(node));
  return text ? reinterpret_cast<const char*>(text.get()) : "";
}

std::string AttributeText(const xmlNode* node, const char* name) {
  XmlCharPtr text(xmlGetProp(node, reinterpret_cast<const xmlChar*>(name)));
  return text ? reinterpret_cast<const char*>(text.get()) : "";
}

bool NameIs(const xmlNode* node, const char* name) {
  return node->type == XML_ELEMENT_NODE &&
         xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

}  // namespace

std::optional<std::map<std::string, std::string>> Lab::ParseEnv(std::string_view text) {
  std::map<std::string, std::string> values;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.empty() || line.front() == '#') continue;
    if (line.substr(0, 7) == "export ") line.remove_prefix(7);
    const std::size_t eq = line.find('=');
    if (eq == 0 || eq == std::string_view::npos) return std::nullopt;
    const std::string_view key = line.substr(0, eq);
    for (std::size_t i = 0; i < key.size(); ++i) {
      if (!IsKeyChar(key[i], i == 0)) return std::nullopt;
    }
    auto value = ParseShellValue(line.substr(eq + 1));
    if (!value) return std::nullopt;
    values[std::string(key)] = std::move(*value);
  }
  return values;
}

Lab::Availability Lab::Load(std::optional<Lab>& lab, std::string& reason) {
  lab.reset();
  const char* env = std::getenv("ORDALEN_LAB_ENV");
  if (env == nullptr || *env == '\0') {
    reason =
        "no lab: ORDALEN_LAB_ENV is not set (lab tests run under ctest, whose lab_up "
        "fixture brings the lab up: ctest -L lab)";
    return Availability::kSkip;
  }
  if (geteuid() != 0) {
    reason = "no lab: the lab needs root (network namespaces)";
    return Availability::kSkip;
  }
  const fs::path path(env);
  std::error_code ec;
  if (!fs::exists(path, ec)) {
    reason = "no lab: " + path.string() +
             " does not exist (scripts/lab.sh up made no lab here; the lab_up test says why)";
    return Availability::kSkip;
  }
  auto values = ParseEnv(ReadFile(path));
  if (!values) {
    reason = "lab env file " + path.string() + " is malformed";
    return Availability::kBroken;
  }
  Lab loaded;
  loaded.values_ = std::move(*values);
  loaded.scanner_ns_ = loaded.Value("LAB_NS_SCANNER");
  if (loaded.scanner_ns_.empty()) {
    reason = "lab env file " + path.string() + " names no scanner namespace (LAB_NS_SCANNER)";
    return Availability::kBroken;
  }
  const std::string ns_file = "/run/netns/" + loaded.scanner_ns_;
  if (!fs::exists(ns_file, ec)) {
    reason = "the lab's scanner namespace " + loaded.scanner_ns_ +
             " does not exist (was the lab taken down?)";
    return Availability::kBroken;
  }
  const int fd = open(ns_file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    reason = "no lab: " + ErrnoText("cannot open " + ns_file);
    return Availability::kSkip;
  }
  close(fd);
  lab = std::move(loaded);
  return Availability::kReady;
}

std::string Lab::Value(const std::string& key) const {
  const auto it = values_.find(key);
  return it == values_.end() ? std::string{} : it->second;
}

std::string Lab::Ip(std::string_view host) const {
  return Value("LAB_IP_" + Upper(host));
}
std::string Lab::Mac(std::string_view host) const {
  return Value("LAB_MAC_" + Upper(host));
}
std::string Lab::HostName(std::string_view host) const {
  return Value("LAB_NAME_" + Upper(host));
}

std::string Lab::Namespace(std::string_view where) const {
  const std::string key = Upper(where);
  if (key == "SCANNER") return scanner_ns_;
  if (key == "BRIDGE" || key == "BR") return Value("LAB_NS_BRIDGE");
  return Value("LAB_NS_" + key);
}

const std::vector<std::string>& Lab::HostKeys() {
  static const std::vector<std::string> keys = {"LINUX1", "WIN1",   "WIN2",   "PRINTER",
                                                "TTL255", "LINUX2", "TTL255B"};
  return keys;
}

std::string Lab::EnterScanner() const {
  static std::mutex mutex;
  static std::string entered;
  std::lock_guard lock(mutex);
  if (entered == scanner_ns_) return {};
  if (!entered.empty()) return "this process is already in the lab namespace " + entered;

  std::error_code ec;
  const auto threads =
      std::distance(fs::directory_iterator("/proc/self/task", ec), fs::directory_iterator());
  if (ec) return "cannot count this process's threads: " + ec.message();
  if (threads != 1) {
    return "this process already runs " + std::to_string(threads) +
           " threads; enter the lab before starting any";
  }
  const std::string ns_file = "/run/netns/" + scanner_ns_;
  const int fd = open(ns_file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ErrnoText("cannot open " + ns_file);
  const int joined = setns(fd, CLONE_NEWNET);
  const int saved = errno;
  close(fd);
  if (joined != 0) {
    errno = saved;
    return ErrnoText("cannot enter " + scanner_ns_);
  }
  // From here on the process is inside the lab's network; what follows gives it
  // the lab's view of /etc and /sys without touching anybody else's.
  if (unshare(CLONE_NEWNS) != 0) return ErrnoText("cannot get a mount namespace of its own");
  if (mount(nullptr, "/", nullptr, MS_SLAVE | MS_REC, nullptr) != 0) {
    return ErrnoText("cannot make / a slave mount");
  }
  const fs::path etc_dir = fs::path("/etc/netns") / scanner_ns_;
  for (const auto& entry : fs::directory_iterator(etc_dir, ec)) {
    const fs::path target = fs::path("/etc") / entry.path().filename();
    if (mount(entry.path().c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      return ErrnoText("cannot bind " + entry.path().string() + " over " + target.string());
    }
  }
  if (ec) return "cannot list " + etc_dir.string() + ": " + ec.message();
  if (umount2("/sys", MNT_DETACH) != 0 && errno != EINVAL) return ErrnoText("cannot detach /sys");
  if (mount(scanner_ns_.c_str(), "/sys", "sysfs", 0, nullptr) != 0) {
    return ErrnoText("cannot mount the lab's /sys");
  }
  entered = scanner_ns_;
  return {};
}

ProcessResult Lab::Run(std::string_view where, const std::vector<std::string>& argv,
                       std::chrono::milliseconds limit, const std::string& cwd) const {
  const std::string ns = Namespace(where);
  if (ns.empty() || argv.empty()) {
    ProcessResult result;
    result.err = "no lab namespace for '" + std::string(where) + "' or no command";
    return result;
  }
  std::vector<std::string> full = {"ip", "netns", "exec", ns};
  full.insert(full.end(), argv.begin(), argv.end());
  return RunProcess(full, limit, cwd);
}

OrdalenRun RunOrdalen(const Lab& lab, const OrdalenFiles& files,
                      const std::vector<std::string>& args, std::chrono::milliseconds limit,
                      const std::vector<std::string>& launcher) {
  OrdalenRun run;
  const std::string binary = OrdalenBinary();
  std::error_code ec;
  if (binary.empty() || !fs::is_regular_file(binary, ec)) {
    run.error = "the built program is missing (ORDALEN_BINARY='" + binary + "')";
    return run;
  }
  run.dir = std::make_unique<TempDir>();
  run.folder = run.dir->path();
  const fs::path copy = run.folder / "ordalen";
  if (!fs::copy_file(binary, copy, fs::copy_options::overwrite_existing, ec)) {
    run.error = "cannot copy " + binary + ": " + ec.message();
    return run;
  }
  fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec,
                  fs::perm_options::replace, ec);
  if (files.config_ini) run.dir->Write("config.ini", *files.config_ini);
  if (files.accounts_csv) run.dir->Write("accounts.csv", *files.accounts_csv);
  if (files.target_mib_xml) run.dir->Write("targetMIB.xml", *files.target_mib_xml);

  std::vector<std::string> argv = launcher;
  argv.push_back(copy.string());
  argv.insert(argv.end(), args.begin(), args.end());
  run.process = lab.Run("scanner", argv, limit, run.folder.string());

  const fs::path log = run.folder / "OrdalenLog" / "ordalen.log";
  if (fs::exists(log, ec)) run.log = ReadFile(log);
  if (auto result = NewestResultFile(run.folder)) {
    run.result_file = *result;
    run.result_text = ReadFile(*result);
  }
  return run;
}

std::optional<std::string> ResultNode::Field(std::string_view name) const {
  for (const auto& [key, text] : fields) {
    if (key == name) return text;
  }
  return std::nullopt;
}

const ResultNode* ResultDocument::FindByIp(std::string_view ip) const {
  for (const auto& node : nodes) {
    if (node.Field("IPADDRESS") == std::optional<std::string>(ip)) return &node;
  }
  return nullptr;
}

ResultDocument ParseResultFile(const fs::path& path) {
  ResultDocument result;
  XmlDocPtr doc(xmlReadFile(path.c_str(), nullptr,
                            XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  if (!doc) {
    const xmlError* error = xmlGetLastError();
    result.error = "cannot parse " + path.string() + ": " +
                   (error && error->message ? error->message : "unknown error");
    return result;
  }
  if (doc->encoding) result.declaration_encoding = reinterpret_cast<const char*>(doc->encoding);
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  if (!root) {
    result.error = path.string() + " has no document element";
    return result;
  }
  result.root_name = reinterpret_cast<const char*>(root->name);
  result.scan_date = AttributeText(root, "scan_date");
  for (const xmlNode* card = root->children; card; card = card->next) {
    if (!NameIs(card, "NETWORK_CARD")) continue;
    ++result.network_card_count;
    for (const xmlNode* node = card->children; node; node = node->next) {
      if (!NameIs(node, "NODE")) continue;
      ResultNode entry;
      for (const xmlNode* child = node->children; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) continue;
        std::string name = reinterpret_cast<const char*>(child->name);
        if (name == "VARIABLE") name += ":" + AttributeText(child, "oid");
        entry.fields.emplace_back(std::move(name), NodeText(child));
      }
      result.nodes.push_back(std::move(entry));
    }
  }
  return result;
}

}  // namespace ordalen::test
