// The dashboard's page, built into the program: no file is read at run time.
#pragma once

#include <span>
#include <string_view>

namespace velmora::dashboard {

struct PageFile {
  /// Where the page asks for it ("/app.js").
  std::string_view path;
  std::string_view type;
  std::string_view body;
};

std::span<const PageFile> pageFiles();

}  // namespace velmora::dashboard
