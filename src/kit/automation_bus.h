// The automation interface as it travels on the D-Bus session bus: the names, the one table of
// its methods that the client and the serving side are both built from, and the compile-time
// checks that keep each call on that table. No bus library is needed to read it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora {

/// Where the interface lives on the session bus, and the one table of its methods that both the
/// client and the serving side are built from.
namespace AutomationBus {
inline constexpr std::string_view objectPath = "/io/velmora/Automation";
inline constexpr std::string_view interfaceName = "io.velmora.Automation1";
inline constexpr std::string_view errorName = "io.velmora.Automation1.Error";

struct Method {
  std::string_view name;
  std::string_view inputSignature;   // s text or JSON body, b flag, q port
  std::string_view outputSignature;  // "s" for a data reply, "" for a status reply
};

inline constexpr std::array<Method, 21> methods{{
    {"GetStatus", "", "s"},
    {"SetEnabled", "b", ""},
    {"ListProfiles", "", "s"},
    {"SwitchProfile", "s", ""},
    {"CreateProfile", "s", ""},
    {"ListEnvironments", "", "s"},
    {"BindCurrentEnvironment", "s", ""},
    {"ListRules", "s", "s"},  // "" means no search word
    {"AddRule", "s", ""},
    {"UpdateRule", "s", ""},
    {"RemoveRule", "s", ""},
    {"SetRuleEnabled", "sb", ""},
    {"ListProxies", "", "s"},
    {"AddProxy", "s", ""},
    {"SetRoute", "ss", ""},
    {"TestRoute", "ssq", "s"},
    {"QueryConnections", "s", "s"},
    {"ExportProfile", "s", "s"},
    {"ImportProfile", "s", ""},
    // The application's own, beside the automation requests: the tool has changed the profile
    // files and waits until the application routes by them.
    {"TakeUpChanges", "", ""},
    // The tool runs a program in a cgroup of its own and waits until the application has its
    // connections redirected to the transparent listener.
    {"CaptureCgroup", "s", ""},
}};

/// The position of the method called name in methods; a name that is not there does not compile.
consteval std::size_t indexOf(std::string_view name) {
  for (std::size_t i = 0; i < methods.size(); ++i) {
    if (methods[i].name == name) return i;
  }
  throw "no such method in AutomationBus::methods";
}

/// The D-Bus type code a C++ value travels as; 0 for types the interface does not use.
template <typename T>
inline constexpr char typeCode = 0;
template <>
inline constexpr char typeCode<std::string> = 's';
template <>
inline constexpr char typeCode<bool> = 'b';
template <>
inline constexpr char typeCode<std::uint16_t> = 'q';

/// Whether values of these types, in this order, make up exactly the signature.
template <typename... Values>
constexpr bool carries(std::string_view signature) {
  const std::array<char, sizeof...(Values) + 1> codes{typeCode<Values>..., '\0'};
  return std::string_view(codes.data(), sizeof...(Values)) == signature;
}

}  // namespace AutomationBus

}  // namespace velmora
