# Writes OUTPUT, a C++ file that holds the files of the dashboard's page (FILES, a list of paths)
# as byte arrays, with the path and media type each is served under.
set(arrays "")
set(entries "")
set(index 0)
foreach(file IN LISTS FILES)
  get_filename_component(name "${file}" NAME)
  get_filename_component(extension "${file}" LAST_EXT)
  if(extension STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(extension STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(extension STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(extension STREQUAL ".svg")
    set(type "image/svg+xml")
  else()
    message(FATAL_ERROR "no media type for ${file}")
  endif()
  file(READ "${file}" content HEX)
  file(SIZE "${file}" size)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
  string(APPEND arrays "constexpr char file${index}[] = {${bytes}};\n")
  string(APPEND entries "    {\"/${name}\", \"${type}\", {file${index}, ${size}}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.new" "// Made by embed_page.cmake from the page's files.
#include \"page_files.h\"

namespace velmora::dashboard {

namespace {

${arrays}
constexpr PageFile files[] = {
${entries}};

}  // namespace

std::span<const PageFile> pageFiles() {
  return files;
}

}  // namespace velmora::dashboard
")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
