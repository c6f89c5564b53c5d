#include "probes/ntlm_auth.h"

#include <gssapi/gssapi_ext.h>

#include <cstdio>
#include <mutex>

#include "app/log.h"
#include "base/text.h"

#if defined(__SANITIZE_ADDRESS__)
#define ORDALEN_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORDALEN_LEAK_CHECKED 1
#endif
#endif
#ifdef ORDALEN_LEAK_CHECKED
#include <sanitizer/lsan_interface.h>
#endif

namespace ordalen {

namespace {

// 1.3.6.1.4.1.311.2.2.10 in its DER encoding.
char kNtlmOidBytes[] = "\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a";
gss_OID_desc kNtlmOid = {10, kNtlmOidBytes};

struct GssOidSetDeleter {
  void operator()(gss_OID_set set) const {
    OM_uint32 minor = 0;
    gss_release_oid_set(&minor, &set);
  }
};
using GssOidSet = std::unique_ptr<gss_OID_set_desc, GssOidSetDeleter>;

// The mechanism asks the system's winbind client on credential and context
// steps, and that client formats into process-wide buffers: one step at a time
// across threads. The steps compute locally (no network wait), so the lock is
// held for microseconds.
std::mutex& MechanismStepMutex() {
  static std::mutex mutex;
  return mutex;
}

constexpr const char* kMechanismMissingText =
    "WMI: the NTLM security mechanism (gss-ntlmssp) is not installed; computer names are not read";

bool CheckMechanism() {
  OM_uint32 minor = 0;
  gss_OID_set raw = GSS_C_NO_OID_SET;
  const OM_uint32 major = gss_indicate_mechs(&minor, &raw);
  GssOidSet mechs(raw);
  bool present = false;
  if (!GSS_ERROR(major) && mechs) {
    int member = 0;
    gss_test_oid_set_member(&minor, &kNtlmOid, mechs.get(), &member);
    present = member != 0;
  }
  if (!present) {
    std::fprintf(stderr, "%s\n", kMechanismMissingText);
    WriteLog("%s", kMechanismMissingText);
  }
  return present;
}

// The NTLM plug-in leaks the digest it fetches from the crypto library each
// time it turns a password into a key (a few KB per account tried). Leak
// checks of sanitizer builds ignore what is allocated during that one call.
#ifdef ORDALEN_LEAK_CHECKED
using PluginLeakScope = __lsan::ScopedDisabler;
#else
struct PluginLeakScope {};
#endif

std::vector<std::uint8_t> CopyBytes(std::span<const std::uint8_t> bytes) {
  return {bytes.begin(), bytes.end()};
}

}  // namespace

void GssNameDeleter::operator()(gss_name_t name) const {
  OM_uint32 minor = 0;
  gss_release_name(&minor, &name);
}

void GssCredDeleter::operator()(gss_cred_id_t cred) const {
  OM_uint32 minor = 0;
  gss_release_cred(&minor, &cred);
}

void GssContextDeleter::operator()(gss_ctx_id_t context) const {
  OM_uint32 minor = 0;
  gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
}

GssBuffer::~GssBuffer() {
  OM_uint32 minor = 0;
  if (desc_.value) gss_release_buffer(&minor, &desc_);
}

gss_OID NtlmMechanism() {
  return &kNtlmOid;
}

bool NtlmMechanismAvailable() {
  static std::once_flag once;
  static bool available = false;
  std::call_once(once, [] { available = CheckMechanism(); });
  return available;
}

std::string GssStatusText(OM_uint32 major, OM_uint32 minor) {
  std::string text;
  OM_uint32 context = 0;
  do {
    OM_uint32 display_minor = 0;
    GssBuffer message;
    if (GSS_ERROR(gss_display_status(&display_minor, major, GSS_C_GSS_CODE, GSS_C_NO_OID, &context,
                                     message.get()))) {
      break;
    }
    if (!text.empty()) text += "; ";
    const auto bytes = message.bytes();
    text.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  } while (context != 0);
  if (text.empty()) text = Format("major 0x%08x", major);
  // The minor code only as a number: mechanism texts may quote names.
  return text + Format(" (minor %u)", minor);
}

bool NtlmInitiator::Fail(const char* what, OM_uint32 major, OM_uint32 minor) {
  error_text_ = std::string(what) + ": " + GssStatusText(major, minor);
  return false;
}

bool NtlmInitiator::Start(std::string_view user, const std::string& password,
                          std::string_view service_host, std::vector<std::uint8_t>& token) {
  OM_uint32 minor = 0;
  complete_ = false;
  context_.reset();
  cred_.reset();

  std::string user_text(user);
  gss_buffer_desc user_buffer{user_text.size(), user_text.data()};
  gss_name_t raw_name = GSS_C_NO_NAME;
  OM_uint32 major = gss_import_name(&minor, &user_buffer, GSS_C_NT_USER_NAME, &raw_name);
  GssName user_name(raw_name);
  if (GSS_ERROR(major)) return Fail("user name not usable", major, minor);

  // The mechanism reads the password as a NUL-terminated text; std::string keeps one.
  gss_buffer_desc password_buffer{password.size(), const_cast<char*>(password.c_str())};
  gss_OID_set_desc mechs{1, &kNtlmOid};
  gss_cred_id_t raw_cred = GSS_C_NO_CREDENTIAL;
  [[maybe_unused]] PluginLeakScope plugin_leak_scope;
  std::unique_lock step_lock(MechanismStepMutex());
  major =
      gss_acquire_cred_with_password(&minor, user_name.get(), &password_buffer, GSS_C_INDEFINITE,
                                     &mechs, GSS_C_INITIATE, &raw_cred, nullptr, nullptr);
  step_lock.unlock();
  cred_.reset(raw_cred);
  if (GSS_ERROR(major)) return Fail("credentials not usable", major, minor);

  std::string service = "HTTP@" + std::string(service_host);
  gss_buffer_desc service_buffer{service.size(), service.data()};
  gss_name_t raw_target = GSS_C_NO_NAME;
  major = gss_import_name(&minor, &service_buffer, GSS_C_NT_HOSTBASED_SERVICE, &raw_target);
  target_.reset(raw_target);
  if (GSS_ERROR(major)) return Fail("server name not usable", major, minor);

  return Step({}, token);
}

bool NtlmInitiator::Continue(std::span<const std::uint8_t> challenge,
                             std::vector<std::uint8_t>& token) {
  if (!context_ || complete_) {
    error_text_ = "authentication step out of order";
    return false;
  }
  if (challenge.empty()) {
    error_text_ = "empty challenge";
    return false;
  }
  return Step(challenge, token);
}

bool NtlmInitiator::Step(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& token) {
  OM_uint32 minor = 0;
  gss_buffer_desc input_buffer{input.size(), const_cast<std::uint8_t*>(input.data())};
  GssBuffer output;
  OM_uint32 ret_flags = 0;
  gss_ctx_id_t raw_context = context_.release();
  std::unique_lock step_lock(MechanismStepMutex());
  const OM_uint32 major = gss_init_sec_context(
      &minor, cred_.get(), &raw_context, target_.get(), &kNtlmOid,
      GSS_C_CONF_FLAG | GSS_C_INTEG_FLAG, GSS_C_INDEFINITE, GSS_C_NO_CHANNEL_BINDINGS,
      input.empty() ? GSS_C_NO_BUFFER : &input_buffer, nullptr, output.get(), &ret_flags, nullptr);
  step_lock.unlock();
  context_.reset(raw_context);
  if (GSS_ERROR(major)) {
    context_.reset();
    return Fail(input.empty() ? "authentication start failed" : "challenge refused", major, minor);
  }
  token = CopyBytes(output.bytes());
  const bool first_leg = input.empty();
  if (first_leg) {
    if (major != GSS_S_CONTINUE_NEEDED || token.empty()) {
      context_.reset();
      error_text_ = "authentication start gave no token";
      return false;
    }
    return true;
  }
  if (major != GSS_S_COMPLETE || token.empty()) {
    context_.reset();
    error_text_ = "authentication did not complete in three messages";
    return false;
  }
  if ((ret_flags & GSS_C_CONF_FLAG) == 0 || (ret_flags & GSS_C_INTEG_FLAG) == 0) {
    context_.reset();
    error_text_ = "the server did not agree to sealing";
    return false;
  }
  complete_ = true;
  return true;
}

std::optional<std::vector<std::uint8_t>> NtlmInitiator::Seal(std::span<const std::uint8_t> plain) {
  if (!complete_) {
    error_text_ = "seal before authentication";
    return std::nullopt;
  }
  OM_uint32 minor = 0;
  gss_buffer_desc input{plain.size(), const_cast<std::uint8_t*>(plain.data())};
  GssBuffer output;
  int conf_state = 0;
  const OM_uint32 major =
      gss_wrap(&minor, context_.get(), 1, GSS_C_QOP_DEFAULT, &input, &conf_state, output.get());
  if (GSS_ERROR(major)) {
    Fail("seal failed", major, minor);
    return std::nullopt;
  }
  // The mechanism's layout is a 16-byte signature followed by data as long as the input.
  if (conf_state == 0 || output.bytes().size() != plain.size() + 16) {
    error_text_ = "seal gave an unexpected layout";
    return std::nullopt;
  }
  return CopyBytes(output.bytes());
}

std::optional<std::vector<std::uint8_t>> NtlmInitiator::Unseal(
    std::span<const std::uint8_t> sealed) {
  if (!complete_) {
    error_text_ = "unseal before authentication";
    return std::nullopt;
  }
  if (sealed.size() < 16) {
    error_text_ = "sealed message shorter than its signature";
    return std::nullopt;
  }
  OM_uint32 minor = 0;
  gss_buffer_desc input{sealed.size(), const_cast<std::uint8_t*>(sealed.data())};
  GssBuffer output;
  int conf_state = 0;
  gss_qop_t qop = 0;
  const OM_uint32 major =
      gss_unwrap(&minor, context_.get(), &input, output.get(), &conf_state, &qop);
  if (GSS_ERROR(major)) {
    Fail("signature check failed", major, minor);
    return std::nullopt;
  }
  if (major != GSS_S_COMPLETE) {
    // Duplicate, old or out-of-order token: refused like a bad signature.
    error_text_ = "sealed message out of sequence";
    return std::nullopt;
  }
  if (conf_state == 0) {
    error_text_ = "message signed but not sealed";
    return std::nullopt;
  }
  return CopyBytes(output.bytes());
}

}  // namespace ordalen
