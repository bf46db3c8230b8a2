#include "log.h"

#include "kit/service.h"

namespace velmora::netd {

void log(std::string_view line) {
  service::log("velmora-netd", line);
}

}  // namespace velmora::netd
