#include "browser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>
#include <vector>

namespace velmora::testing {

namespace {

constexpr const char* chromium = "/usr/bin/chromium";
constexpr auto answerLimit = std::chrono::seconds(20);

}  // namespace

bool HeadlessBrowser::available() {
  return ::access(chromium, X_OK) == 0;
}

HeadlessBrowser::HeadlessBrowser(const std::string& url) {
  int toChild[2];
  int fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe");
  const std::string dataDirectory = "--user-data-dir=" + profile_.path().string();
  std::vector<std::string> words = {chromium,
                                    "--headless=new",
                                    "--no-sandbox",
                                    "--disable-gpu",
                                    "--disable-dev-shm-usage",
                                    "--no-first-run",
                                    "--remote-debugging-pipe",
                                    "--window-size=1400,1000",
                                    dataDirectory,
                                    url};
  pid_ = ::fork();
  if (pid_ == 0) {
    // The browser's own helpers go with it: they share its process group.
    ::setpgid(0, 0);
    ::dup2(toChild[0], 3);
    ::dup2(fromChild[1], 4);
    const int quiet = ::open("/dev/null", O_WRONLY);
    ::dup2(quiet, 1);
    ::dup2(quiet, 2);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    ::execv(chromium, argv.data());
    ::_exit(127);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  toBrowser_ = toChild[1];
  fromBrowser_ = fromChild[0];
  if (pid_ < 0) throw std::runtime_error("fork");
  const nlohmann::json targets = command("Target.getTargets", nlohmann::json::object(), false);
  for (const nlohmann::json& target : targets["targetInfos"]) {
    if (target["type"] == "page") {
      session_ = command("Target.attachToTarget",
                         {{"targetId", target["targetId"]}, {"flatten", true}},
                         false)["sessionId"];
      return;
    }
  }
  throw std::runtime_error("the browser shows no page");
}

HeadlessBrowser::~HeadlessBrowser() {
  if (pid_ > 0) {
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (toBrowser_ >= 0) ::close(toBrowser_);
  if (fromBrowser_ >= 0) ::close(fromBrowser_);
}

nlohmann::json HeadlessBrowser::command(const std::string& method, const nlohmann::json& params,
                                        bool toPage) {
  const int id = nextID_++;
  nlohmann::json message = {{"id", id}, {"method", method}, {"params", params}};
  if (toPage) message["sessionId"] = session_;
  const std::string text = message.dump() + '\0';
  if (::write(toBrowser_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    throw std::runtime_error("the browser does not listen");
  const auto deadline = std::chrono::steady_clock::now() + answerLimit;
  while (true) {
    // Messages end in a NUL; events between them are passed over.
    for (std::size_t end; (end = pending_.find('\0')) != std::string::npos;) {
      const nlohmann::json answer = nlohmann::json::parse(pending_.substr(0, end), nullptr, false);
      pending_.erase(0, end + 1);
      if (!answer.is_object() || answer.value("id", 0) != id) continue;
      if (answer.contains("error")) throw std::runtime_error(answer["error"].dump());
      return answer["result"];
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{fromBrowser_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0)
      throw std::runtime_error("the browser did not answer " + method);
    char chunk[65536];
    const ssize_t got = ::read(fromBrowser_, chunk, sizeof chunk);
    if (got <= 0) throw std::runtime_error("the browser ended");
    pending_.append(chunk, static_cast<std::size_t>(got));
  }
}

std::optional<nlohmann::json> HeadlessBrowser::evaluate(const std::string& expression) {
  const nlohmann::json result =
      command("Runtime.evaluate",
              {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}});
  if (result.contains("exceptionDetails")) return std::nullopt;
  return result["result"].value("value", nlohmann::json());
}

bool HeadlessBrowser::waitFor(const std::string& expression, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::optional<nlohmann::json> value = evaluate(expression);
    if (value && *value == true) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return false;
}

}  // namespace velmora::testing
