#include "log.h"

#include "kit/service.h"

namespace velmora::daemon {

void log(std::string_view line) {
  service::log("velmorad", line);
}

}  // namespace velmora::daemon
