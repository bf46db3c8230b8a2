// Headless Chromium driven over the DevTools protocol on a pipe, for tests of pages in a real
// browser: the page's own scripts run, and the test reads and works the page as a user would.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "test_support.h"

namespace velmora::testing {

class HeadlessBrowser {
 public:
  /// Whether Chromium is installed where tests look for it.
  static bool available();

  /// Starts Chromium on url with a profile of its own, and attaches to the page. Throws
  /// std::runtime_error when it does not start or answer.
  explicit HeadlessBrowser(const std::string& url);
  ~HeadlessBrowser();
  HeadlessBrowser(const HeadlessBrowser&) = delete;
  HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

  /// The value of a JavaScript expression in the page (awaited when it is a promise); nothing
  /// when it threw.
  std::optional<nlohmann::json> evaluate(const std::string& expression);
  /// Evaluates the expression until it is true; false when it is not within limit.
  bool waitFor(const std::string& expression,
               std::chrono::milliseconds limit = std::chrono::seconds(20));

 private:
  /// Sends a command, to the page when it is attached, and returns its answer's result.
  nlohmann::json command(const std::string& method, const nlohmann::json& params,
                         bool toPage = true);

  ScratchDirectory profile_;
  pid_t pid_ = -1;
  int toBrowser_ = -1;
  int fromBrowser_ = -1;
  std::string pending_;
  int nextID_ = 1;
  std::string session_;
};

}  // namespace velmora::testing
