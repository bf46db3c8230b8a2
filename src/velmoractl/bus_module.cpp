// The bus client as a loadable module: the one entry point that makes an AutomationClient, for
// the tool to open only in runs that talk to the application.
#include "automation_client.h"
#include "session_bus_module.h"

extern "C" __attribute__((visibility("default"))) velmora::cli::Application*
velmora_create_automation_client() {
  return new velmora::cli::AutomationClient();
}
