// The SOAP messages of the computer-name query over WS-Management, without any
// I/O: the Enumerate and Pull requests for "Select Name from
// Win32_ComputerSystem" in "root\cimv2", and what their answers (or a fault
// instead) say. The parser takes text a peer sent and returns nothing for a
// document it cannot use; it refuses document type declarations.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ordalen {

inline constexpr std::string_view kWmiResourceUri =
    "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/*";
inline constexpr std::string_view kWqlDialect = "http://schemas.microsoft.com/wbem/wsman/1/WQL";
inline constexpr std::string_view kComputerNameQuery = "Select Name from Win32_ComputerSystem";
inline constexpr int kPullMaxElements = 32;

// `to` is the service address ("http://10.0.0.1:5985/wsman"); `message_id` a
// "uuid:..." text; `operation_timeout` an xs:duration ("PT8.000S").
std::string BuildEnumerateRequest(std::string_view to, std::string_view message_id,
                                  std::string_view operation_timeout);
std::string BuildPullRequest(std::string_view to, std::string_view message_id,
                             std::string_view operation_timeout,
                             std::string_view enumeration_context);

// What an EnumerateResponse or PullResponse (or a fault instead) says.
struct EnumerationAnswer {
  bool fault = false;
  std::string fault_text;  // the fault's reason text (diagnostics only)
  std::string relates_to;  // the message it answers
  std::string context;     // enumeration context to pull with
  bool end_of_sequence = false;
  std::size_t item_count = 0;  // items in this answer
  // "Name" of the first item of this answer; nullopt when there is no item or
  // the first item has no usable Name (missing, nil, empty).
  std::optional<std::string> first_name;
};
std::optional<EnumerationAnswer> ParseEnumerationAnswer(std::string_view xml);

// A computer name is usable when it is non-empty, at most kMaxComputerNameBytes
// long and holds no control characters (it goes into console and log lines).
inline constexpr std::size_t kMaxComputerNameBytes = 255;
bool UsableComputerName(std::string_view name);

// Escapes &, <, >, " and ' for XML text and attribute values.
std::string XmlEscape(std::string_view text);

}  // namespace ordalen
