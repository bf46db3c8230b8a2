// The Proxifier importer on any bytes: it refuses them with an ImportError or yields a
// configuration whose merge into a profile writes out and reads back equal.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "kit/import_error.h"
#include "kit/importers.h"
#include "kit/profile_store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora;
  static const Profile base = Profile::makeDefault("Default");
  ImportedConfig imported;
  try {
    imported =
        PPXImportAdapter().parse(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const ImportError&) {
    return 0;
  }
  const Profile merged = merging(base, imported);
  if (decodeProfileDocument(encodeProfileDocument(merged)) != merged) std::abort();
  return 0;
}
