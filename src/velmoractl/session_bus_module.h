// The contract between the tool and its bus module: the name of the module's one entry point
// and its type.
#pragma once

#include "application.h"

namespace velmora::cli {

/// The module's file name, looked for beside the tool and then in its library directory.
inline constexpr const char* busModuleFileName = "velmoractl-bus.so";
/// The entry point, which returns a new client for the caller to own.
inline constexpr const char* busModuleEntryPoint = "velmora_create_automation_client";
using CreateAutomationClient = Application* (*)();

}  // namespace velmora::cli
