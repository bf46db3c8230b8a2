// The failure of reading a foreign or hand-written configuration.
#pragma once

#include <string>

#include "error.h"
#include "localize.h"

namespace velmora {

/// A configuration that could not be read: malformed content, or a format nobody recognises.
class ImportError : public Error {
 public:
  enum class Kind { malformed, unrecognizedFormat };

  static ImportError malformed(const std::string& detail) {
    return ImportError(Kind::malformed, VL("配置文件内容异常：%@", detail));
  }
  static ImportError unrecognizedFormat() {
    return ImportError(Kind::unrecognizedFormat, VL("无法识别的配置格式"));
  }

  Kind kind() const { return kind_; }

 private:
  ImportError(Kind kind, const std::string& description) : Error(description), kind_(kind) {}
  Kind kind_;
};

}  // namespace velmora
