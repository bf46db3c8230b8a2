// The automation interface on the D-Bus session bus: serving an AutomationXPCProtocol
// implementation at the interface's object path, and the compile-time checks that keep the
// client and the serving side on the one method table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "automation_protocol.h"

namespace sdbus {
class IConnection;
class IObject;
}  // namespace sdbus

namespace velmora {

namespace AutomationBus {

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

/// Exports an implementation of the automation interface on a bus connection, at
/// AutomationBus::objectPath under AutomationBus::interfaceName, with every method of
/// AutomationBus::methods. A failure thrown by the implementation is answered with the D-Bus
/// error AutomationBus::errorName carrying the failure's text. The owner of the connection
/// requests the well-known name and runs its event loop; the object is exported while this lives.
class AutomationService {
 public:
  AutomationService(sdbus::IConnection& connection, AutomationXPCProtocol& implementation);
  ~AutomationService();
  AutomationService(const AutomationService&) = delete;
  AutomationService& operator=(const AutomationService&) = delete;

 private:
  std::unique_ptr<sdbus::IObject> object_;
};

}  // namespace velmora
