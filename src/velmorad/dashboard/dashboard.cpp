#include "dashboard.h"

#include <unistd.h>

#include <algorithm>
#include <asio.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <atomic>
#include <chrono>
#include <deque>
#include <list>
#include <map>
#include <thread>
#include <unordered_map>
#include <variant>

#include "app_identity_lookup.h"
#include "http_request.h"
#include "kit/error.h"
#include "kit/events.h"
#include "kit/json_text.h"
#include "kit/localize.h"
#include "kit/service.h"
#include "page_files.h"
#include "socks_client.h"
#include "udp_flows.h"

namespace velmora::dashboard {

namespace {

using asio::awaitable;
using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;
using namespace std::chrono_literals;
using dataplane::failuresAsValues;
using dataplane::LiveTraffic;
using Clock = std::chrono::steady_clock;

constexpr auto tickInterval = 1s;
/// How far back the traffic of each application goes, in ticks.
constexpr std::size_t historyTicks = 300;
/// The state (switch, profile, rules) is looked at every this many ticks while a page watches.
constexpr unsigned stateTicks = 2;
constexpr std::size_t maxSessions = 64;
constexpr std::size_t maxWatchers = 16;
/// Messages a watcher may fall behind by before it is let go.
constexpr std::size_t maxBacklog = 30;
constexpr std::size_t maxOpenShown = 1000;
constexpr std::size_t maxEventsPerTick = 500;
constexpr std::int64_t logShownAtStart = 500;
/// How long a request may take to arrive, and a kept-alive connection may wait for the next.
constexpr auto requestTimeout = 30s;
constexpr std::string_view cookieName = "velmora-dashboard";

constexpr std::string_view securityHeaders =
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "X-Frame-Options: DENY\r\n"
    "Content-Security-Policy: default-src 'self'; img-src 'self' data:; style-src 'self'; "
    "connect-src 'self'; frame-ancestors 'none'; form-action 'self'; base-uri 'none'\r\n";

struct Response {
  int status = 200;
  std::string type = "application/json";
  std::string body;
  std::string headers;
};

std::string_view reasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 303:
      return "See Other";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 503:
      return "Service Unavailable";
    default:
      return "Internal Server Error";
  }
}

std::string rendered(const Response& response, bool keepAlive) {
  std::string text = "HTTP/1.1 " + std::to_string(response.status) + " " +
                     std::string(reasonPhrase(response.status)) + "\r\n";
  text += "Content-Type: " + response.type + "\r\n";
  text += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  text += securityHeaders;
  text += response.headers;
  text += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
  text += response.body;
  return text;
}

/// What a request without the secret, from another host name or another origin gets: nothing.
Response refused() {
  return {.status = 403, .type = "text/plain; charset=utf-8", .body = "403 拒绝访问\n"};
}

Response failure(int status, const std::string& message) {
  return {.status = status, .body = json::compact({{"error", message}})};
}

std::string sseMessage(std::string_view event, const std::string& data) {
  return "event: " + std::string(event) + "\ndata: " + data + "\n\n";
}

std::uint64_t lessOrZero(std::uint64_t a, std::uint64_t b) {
  return a > b ? a - b : 0;
}

/// The switch, the profiles, the rules in evaluation order and the proxies, as the operations
/// tell them; what cannot be read now is left out. Runs on the operations' thread.
json::Value stateDocument(AutomationXPCProtocol& operations, bool writable) {
  json::Value document = {{"writable", writable},
                          {"profiles", json::Value::array()},
                          {"rules", json::Value::array()},
                          {"proxies", json::Value::array()}};
  const auto read = [&](const char* key, const std::function<std::string()>& text) {
    try {
      document[key] = json::parse(text());
    } catch (const std::exception&) {
      // A store that cannot be read now shows as empty; the next look may read it.
    }
  };
  read("status", [&] { return operations.getStatus(); });
  read("profiles", [&] { return operations.listProfiles(); });
  read("rules", [&] { return operations.listRules(std::nullopt); });
  read("proxies", [&] { return operations.listProxies(); });
  // The counters move all the time; they come with every tick instead.
  if (document.contains("status")) document["status"].erase("stats");
  return document;
}

/// One open connection as the page lists it, with its bytes in the last tick.
json::Value openConnectionJSON(const LiveTraffic::Open& open, const LiveTraffic::Bytes& rate,
                               json::Date now) {
  const ConnectionEvent& opened = open.opened;
  json::Value entry = {{"id", opened.id.string()},
                       {"app", opened.app},
                       {"host", opened.host},
                       {"port", opened.port},
                       {"transport", rawValue(opened.transport)},
                       {"route", opened.route},
                       {"phase", rawValue(opened.phase)},
                       {"bytesSent", open.bytes.sent},
                       {"bytesReceived", open.bytes.received},
                       {"rateSent", rate.sent},
                       {"rateReceived", rate.received},
                       {"age", std::chrono::duration<double>(now - opened.date).count()}};
  if (opened.bundleID) entry["bundleID"] = *opened.bundleID;
  if (opened.ruleName) entry["ruleName"] = *opened.ruleName;
  if (!open.address.empty() && open.address != opened.host) entry["address"] = open.address;
  return entry;
}

}  // namespace

std::string dashboardAddress(std::uint16_t port) {
  return "http://127.0.0.1:" + std::to_string(port) + "/";
}

class Dashboard::Server {
 public:
  Server(Sources& sources, std::uint16_t port, const std::string& token);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  std::uint16_t port() const { return port_; }
  void setToken(const std::string& token) {
    token_.store(std::make_shared<const std::string>(token));
  }

 private:
  /// What a call to the operations answered: its text, or why it failed.
  struct Answer {
    std::string text;
    std::optional<std::string> error;
    bool forbidden = false;
  };
  /// One call handed to the operations' thread, and the wait for its answer.
  struct Call {
    explicit Call(const asio::any_io_executor& executor)
        : done(executor, Clock::time_point::max()) {}
    asio::steady_timer done;
    Answer answer;
  };
  /// A page watching the event stream: the messages it has yet to be sent.
  struct Watcher {
    explicit Watcher(const asio::any_io_executor& executor)
        : wake(executor, Clock::time_point::max()) {}
    std::deque<std::string> backlog;
    asio::steady_timer wake;
    bool behind = false;
  };

  awaitable<void> accept(tcp::acceptor& acceptor);
  awaitable<void> serve(tcp::socket socket);
  /// The next request on the connection; nothing when it closed, timed out or was malformed
  /// (then answered with 400 already).
  awaitable<std::optional<HttpRequest>> read(tcp::socket& socket, std::string& buffer);
  /// Refuses a request that is not the user's own page asking: another host name, no secret, a
  /// change from another origin. Nothing when it may go on.
  std::optional<Response> gate(const HttpRequest& request) const;
  awaitable<Response> answer(const HttpRequest& request);
  awaitable<Response> change(const HttpRequest& request);
  awaitable<void> stream(tcp::socket& socket);
  awaitable<Answer> onMain(std::function<std::string()> work, bool changes);
  /// The state as the page reads it: from the operations, with the live counters.
  awaitable<std::string> state();
  /// The state document the operations gave, with each rule's count and the traffic counters.
  std::string withCounters(const std::string& state) const;
  /// What the state is read by, on the operations' thread.
  std::function<std::string()> stateWork() {
    return [this] {
      return json::compact(stateDocument(sources_.operations, sources_.writesAllowed()));
    };
  }
  awaitable<void> sample();
  /// Takes the traffic, the log and the counters in since the last tick; the message for the
  /// pages when someone watches.
  std::optional<std::string> tick();
  /// Adds the last tick's bytes of each application to the history; returns them for the
  /// applications that moved or have a history.
  std::map<std::string, LiveTraffic::Bytes> takeTraffic(const LiveTraffic::Snapshot& traffic);
  std::string hello() const;
  /// Sends the state to the pages when it differs from what they were last sent.
  awaitable<void> publishState();
  void broadcast(const std::string& message);

  Sources& sources_;
  const uid_t user_ = ::geteuid();
  std::atomic<std::shared_ptr<const std::string>> token_;
  std::unique_ptr<dataplane::AppIdentityLookup> owners_;
  service::RefusalLog refusals_;
  std::vector<std::string> hosts_;
  std::uint16_t port_ = 0;
  std::size_t sessions_ = 0;
  std::list<std::shared_ptr<Watcher>> watchers_;
  // What the ticks gathered; touched on the dashboard's thread alone.
  std::uint64_t cursor_ = 0;
  std::map<std::string, std::deque<LiveTraffic::Bytes>> history_;
  std::map<std::string, LiveTraffic::Bytes> totals_;
  std::unordered_map<std::string, LiveTraffic::Bytes> lastOpen_;
  std::map<std::string, std::pair<std::string, std::string>> lastRule_;
  std::string lastState_;
  bool publishing_ = false;
  unsigned ticks_ = 0;
  // Last, so that it goes first: the coroutines it still holds use everything above.
  asio::io_context context_{1};
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors_;
  std::thread thread_;
};

Dashboard::Server::Server(Sources& sources, std::uint16_t port, const std::string& token)
    : sources_(sources) {
  setToken(token);
  std::error_code error;
  for (const char* address : {"127.0.0.1", "::1"}) {
    auto acceptor = std::make_unique<tcp::acceptor>(context_);
    const tcp::endpoint endpoint(asio::ip::make_address(address), port_ ? port_ : port);
    acceptor->open(endpoint.protocol(), error);
    if (!error) acceptor->set_option(tcp::acceptor::reuse_address(true), error);
    if (!error && endpoint.protocol() == tcp::v6()) acceptor->set_option(asio::ip::v6_only(true));
    if (!error) acceptor->bind(endpoint, error);
    if (!error) acceptor->listen(asio::socket_base::max_listen_connections, error);
    if (error) {
      // A host without IPv6 serves on 127.0.0.1 alone.
      if (acceptors_.empty())
        throw Error(VL("控制面板无法监听 127.0.0.1:%@：%@", std::to_string(port), error.message()));
      break;
    }
    port_ = acceptor->local_endpoint().port();
    acceptors_.push_back(std::move(acceptor));
  }
  const std::string suffix = ":" + std::to_string(port_);
  hosts_ = {"127.0.0.1" + suffix, "localhost" + suffix, "[::1]" + suffix};
  try {
    owners_ = std::make_unique<dataplane::AppIdentityLookup>(user_);
  } catch (const Error& problem) {
    sources_.log(VL("控制面板认不出连接的主人，只凭口令放行：%@", problem.description()));
  }
  if (sources_.traffic) totals_ = sources_.traffic->snapshot().totals;
  std::uint64_t now = 0;
  sources_.live.eventsAfter(now);
  cursor_ = now;
  for (const auto& acceptor : acceptors_)
    asio::co_spawn(context_, accept(*acceptor), asio::detached);
  asio::co_spawn(context_, sample(), asio::detached);
  thread_ = std::thread([this] { context_.run(); });
}

Dashboard::Server::~Server() {
  context_.stop();
  thread_.join();
}

awaitable<void> Dashboard::Server::accept(tcp::acceptor& acceptor) {
  while (true) {
    std::error_code error;
    tcp::socket socket = co_await acceptor.async_accept(failuresAsValues(error));
    if (error) {
      if (error == asio::error::operation_aborted) co_return;
      continue;
    }
    if (sessions_ >= maxSessions) continue;
    // The secret guards every request; a socket of another user does not even get to ask.
    if (owners_) {
      const tcp::endpoint peer = socket.remote_endpoint(error);
      const tcp::endpoint local = socket.local_endpoint(error);
      const std::optional<uid_t> owner =
          error ? std::nullopt
                : owners_
                      ->identifyRecent(dataplane::socketAddress(peer.address(), peer.port()),
                                       dataplane::socketAddress(local.address(), local.port()))
                      .peer.uid;
      if (owner != user_) {
        if (const auto count = refusals_.count(owner))
          sources_.log(VL("控制面板拒绝了用户 %@ 的 %lld 个连接",
                          owner ? std::to_string(*owner) : VL("（未知）"),
                          static_cast<long long>(*count)));
        continue;
      }
    }
    asio::co_spawn(context_, serve(std::move(socket)), asio::detached);
  }
}

awaitable<void> Dashboard::Server::serve(tcp::socket socket) {
  ++sessions_;
  struct Leave {
    std::size_t& sessions;
    ~Leave() { --sessions; }
  } leave{sessions_};
  std::string buffer;
  try {
    while (true) {
      const std::optional<HttpRequest> request = co_await read(socket, buffer);
      if (!request) co_return;
      if (request->path == "/api/events" && request->method == "GET" && !gate(*request)) {
        co_await stream(socket);
        co_return;
      }
      const Response response = co_await answer(*request);
      const std::string text = rendered(response, request->keepAlive);
      std::error_code error;
      co_await asio::async_write(socket, asio::buffer(text), failuresAsValues(error));
      if (error || !request->keepAlive) co_return;
    }
  } catch (const std::exception& problem) {
    // The connection ends; the dashboard goes on for the others.
    sources_.log(VL("控制面板的一个请求失败了：%@", problem.what()));
  }
}

awaitable<std::optional<HttpRequest>> Dashboard::Server::read(tcp::socket& socket,
                                                              std::string& buffer) {
  asio::steady_timer timer(socket.get_executor(), requestTimeout);
  // The loser of each race below is cancelled, and says so in its own code.
  std::error_code error;
  std::error_code timedOut;
  auto head = co_await (
      asio::async_read_until(socket, asio::dynamic_buffer(buffer, maxHeadSize + maxBodySize),
                             "\r\n\r\n", failuresAsValues(error)) ||
      timer.async_wait(failuresAsValues(timedOut)));
  if (head.index() == 1 || error) {
    // A head past the limit is a request refused; a timeout or a close simply ends.
    if (error == asio::error::not_found) {
      const std::string text = rendered(failure(400, VL("请求无效")), false);
      co_await asio::async_write(socket, asio::buffer(text), failuresAsValues(error));
    }
    co_return std::nullopt;
  }
  const std::size_t headSize = std::get<0>(head);
  std::optional<HttpRequest> request = parseRequestHead(std::string_view(buffer).substr(0, headSize));
  if (!request) {
    const std::string text = rendered(failure(400, VL("请求无效")), false);
    co_await asio::async_write(socket, asio::buffer(text), failuresAsValues(error));
    co_return std::nullopt;
  }
  const std::size_t whole = headSize + request->contentLength;
  if (buffer.size() < whole) {
    auto body = co_await (asio::async_read(socket, asio::dynamic_buffer(buffer),
                                           asio::transfer_exactly(whole - buffer.size()),
                                           failuresAsValues(error)) ||
                          timer.async_wait(failuresAsValues(timedOut)));
    if (body.index() == 1 || error) co_return std::nullopt;
  }
  request->body = buffer.substr(headSize, request->contentLength);
  buffer.erase(0, whole);
  co_return request;
}

std::optional<Response> Dashboard::Server::gate(const HttpRequest& request) const {
  // A page of another site that a name of its own points here (DNS rebinding) names that name.
  const std::string_view host = request.header("host");
  if (std::find(hosts_.begin(), hosts_.end(), host) == hosts_.end()) return refused();
  const std::shared_ptr<const std::string> token = token_.load();
  const std::optional<std::string> cookie = request.cookie(cookieName);
  const bool entering = request.method == "GET" && request.path == "/" &&
                        request.query.contains("token");
  const std::string& offered = entering ? request.query.at("token") : cookie.value_or("");
  if (token->empty() || !sameSecret(offered, *token)) return refused();
  if (request.method != "GET") {
    // Changes come from the dashboard's own page alone; no other origin is ever let in.
    if (request.header("origin") != "http://" + std::string(host)) return refused();
    if (!request.header("content-type").starts_with("application/json")) return refused();
  }
  return std::nullopt;
}

awaitable<Response> Dashboard::Server::answer(const HttpRequest& request) {
  if (std::optional<Response> refusal = gate(request)) co_return std::move(*refusal);
  if (request.method == "GET" && request.path == "/" && request.query.contains("token")) {
    // The address the command line opened carries the secret once; from here on the cookie
    // does, and the address in the browser's history no longer.
    co_return Response{.status = 303,
                       .type = "text/plain; charset=utf-8",
                       .headers = "Location: /\r\nSet-Cookie: " + std::string(cookieName) + "=" +
                                  *token_.load() + "; Path=/; HttpOnly; SameSite=Strict\r\n"};
  }
  if (request.path.starts_with("/api/")) {
    if (request.path == "/api/state") {
      if (request.method != "GET") co_return failure(405, VL("请求无效"));
      std::string body = co_await state();
      co_return Response{.body = std::move(body)};
    }
    if (request.method != "POST") co_return failure(405, VL("请求无效"));
    co_return co_await change(request);
  }
  if (request.method != "GET") co_return failure(405, VL("请求无效"));
  const std::string path = request.path == "/" ? "/index.html" : request.path;
  for (const PageFile& file : pageFiles()) {
    if (file.path == path)
      co_return Response{.type = std::string(file.type), .body = std::string(file.body)};
  }
  co_return failure(404, VL("没有这个页面"));
}

awaitable<Response> Dashboard::Server::change(const HttpRequest& request) {
  AutomationXPCProtocol& operations = sources_.operations;
  json::Value body;
  std::function<std::string()> work;
  try {
    body = json::parse(request.body);
    const json::Reader reader(body);
    if (request.path == "/api/enabled") {
      const bool enabled = reader["enabled"].boolean();
      work = [&operations, enabled] {
        operations.setEnabled(enabled);
        return std::string("{}");
      };
    } else if (request.path == "/api/profile") {
      work = [&operations, name = reader["name"].string()] {
        operations.switchProfile(name);
        return std::string("{}");
      };
    } else if (request.path == "/api/route") {
      work = [&operations, app = reader["app"].string(), target = reader["target"].string()] {
        operations.setRoute(app, target);
        return std::string("{}");
      };
    } else if (request.path == "/api/test") {
      const std::uint16_t port = reader["port"].port();
      work = [&operations, app = reader["app"].string(), host = reader["host"].string(), port] {
        return operations.testRoute(app, host, port);
      };
    } else {
      co_return failure(404, VL("没有这个页面"));
    }
  } catch (const std::exception& problem) {
    co_return failure(400, problem.what());
  }
  const bool changes = request.path != "/api/test";
  const Answer answer = co_await onMain(std::move(work), changes);
  if (answer.forbidden) co_return failure(403, *answer.error);
  if (answer.error) co_return failure(400, *answer.error);
  if (changes) asio::co_spawn(context_, publishState(), asio::detached);
  co_return Response{.body = answer.text};
}

awaitable<Dashboard::Server::Answer> Dashboard::Server::onMain(std::function<std::string()> work,
                                                               bool changes) {
  auto call = std::make_shared<Call>(co_await asio::this_coro::executor);
  // The call is forgotten when the dashboard goes first: its work is then never done.
  sources_.onMain([this, weak = std::weak_ptr(call), work = std::move(work), changes] {
    if (weak.expired()) return;
    Answer answer;
    try {
      if (changes && !sources_.writesAllowed()) {
        answer.forbidden = true;
        answer.error = VL("自动化写操作未开启 — 在 Velmora 设置里打开「允许自动化修改配置」");
      } else {
        answer.text = work();
      }
    } catch (const std::exception& problem) {
      answer.error = problem.what();
    }
    if (const std::shared_ptr<Call> call = weak.lock()) {
      asio::post(call->done.get_executor(), [call, answer = std::move(answer)]() mutable {
        call->answer = std::move(answer);
        call->done.cancel();
      });
    }
  });
  std::error_code error;
  co_await call->done.async_wait(failuresAsValues(error));
  co_return std::move(call->answer);
}

awaitable<std::string> Dashboard::Server::state() {
  const Answer answer = co_await onMain(stateWork(), false);
  if (answer.error) throw Error(*answer.error);
  co_return withCounters(answer.text);
}

std::string Dashboard::Server::withCounters(const std::string& state) const {
  json::Value document = json::parse(state);
  const std::map<std::string, std::uint64_t> counts = sources_.live.ruleCounts();
  for (json::Value& rule : document["rules"]) {
    const auto found = counts.find(rule.value("name", ""));
    rule["connections"] = found == counts.end() ? 0 : found->second;
  }
  if (document.contains("status")) document["status"]["stats"] = toJSON(sources_.live.stats());
  return json::compact(document);
}

awaitable<void> Dashboard::Server::publishState() {
  if (std::exchange(publishing_, true)) co_return;
  try {
    const Answer answer = co_await onMain(stateWork(), false);
    if (!answer.error && answer.text != lastState_) {
      lastState_ = answer.text;
      broadcast(sseMessage("state", withCounters(answer.text)));
    }
  } catch (const std::exception& problem) {
    sources_.log(VL("控制面板的一次更新失败了：%@", problem.what()));
  }
  publishing_ = false;
}

awaitable<void> Dashboard::Server::stream(tcp::socket& socket) {
  std::error_code error;
  if (watchers_.size() >= maxWatchers) {
    const std::string text = rendered(failure(503, VL("打开的控制面板太多了")), false);
    co_await asio::async_write(socket, asio::buffer(text), failuresAsValues(error));
    co_return;
  }
  const auto watcher = std::make_shared<Watcher>(socket.get_executor());
  watchers_.push_back(watcher);
  struct Leave {
    std::list<std::shared_ptr<Watcher>>& watchers;
    const std::shared_ptr<Watcher>& watcher;
    ~Leave() { watchers.remove(watcher); }
  } leave{watchers_, watcher};
  watcher->backlog.push_back(std::string("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n") +
                             std::string(securityHeaders) + "Connection: keep-alive\r\n\r\n");
  watcher->backlog.push_back(sseMessage("hello", hello()));
  const std::string document = co_await state();
  watcher->backlog.push_back(sseMessage("state", document));
  while (!watcher->behind) {
    if (watcher->backlog.empty()) {
      watcher->wake.expires_at(Clock::time_point::max());
      co_await watcher->wake.async_wait(failuresAsValues(error));
      continue;
    }
    const std::string message = std::move(watcher->backlog.front());
    watcher->backlog.pop_front();
    co_await asio::async_write(socket, asio::buffer(message), failuresAsValues(error));
    if (error) co_return;
  }
}

void Dashboard::Server::broadcast(const std::string& message) {
  for (const std::shared_ptr<Watcher>& watcher : watchers_) {
    // A page that cannot keep up is let go; it reconnects and starts afresh.
    if (watcher->backlog.size() >= maxBacklog) watcher->behind = true;
    else watcher->backlog.push_back(message);
    watcher->wake.cancel();
  }
}

std::string Dashboard::Server::hello() const {
  json::Value log = json::Value::array();
  for (const ConnectionEvent& event :
       sources_.live.connections({.limit = logShownAtStart}, std::chrono::system_clock::now()))
    log.push_back(toJSON(event));
  json::Value history = json::Value::object();
  for (const auto& [app, seconds] : history_) {
    json::Value points = json::Value::array();
    for (const LiveTraffic::Bytes& bytes : seconds) points.push_back({bytes.sent, bytes.received});
    history[app] = std::move(points);
  }
  return json::compact({{"log", std::move(log)}, {"history", std::move(history)}, {"step", 1}});
}

awaitable<void> Dashboard::Server::sample() {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  Clock::time_point next = Clock::now();
  while (true) {
    next += tickInterval;
    timer.expires_at(next);
    std::error_code error;
    co_await timer.async_wait(failuresAsValues(error));
    if (error) co_return;
    try {
      if (const std::optional<std::string> message = tick()) broadcast(*message);
    } catch (const std::exception& problem) {
      sources_.log(VL("控制面板的一次更新失败了：%@", problem.what()));
    }
    if (!watchers_.empty() && ++ticks_ % stateTicks == 0)
      asio::co_spawn(context_, publishState(), asio::detached);
  }
}

std::map<std::string, LiveTraffic::Bytes> Dashboard::Server::takeTraffic(
    const LiveTraffic::Snapshot& traffic) {
  // Each application's bytes in the last tick: what its totals grew by.
  std::map<std::string, LiveTraffic::Bytes> moved;
  for (const auto& [app, total] : traffic.totals) {
    LiveTraffic::Bytes& last = totals_[app];
    const LiveTraffic::Bytes delta{lessOrZero(total.sent, last.sent),
                                   lessOrZero(total.received, last.received)};
    last = total;
    if (delta.sent || delta.received || history_.contains(app)) moved[app] = delta;
  }
  // An application quiet for the whole span leaves the history until it moves again.
  for (auto entry = history_.begin(); entry != history_.end();) {
    std::deque<LiveTraffic::Bytes>& seconds = entry->second;
    seconds.push_back(moved[entry->first]);
    if (seconds.size() > historyTicks) seconds.pop_front();
    const bool quiet = std::all_of(seconds.begin(), seconds.end(), [](const auto& bytes) {
      return bytes.sent == 0 && bytes.received == 0;
    });
    entry = quiet ? history_.erase(entry) : std::next(entry);
  }
  for (const auto& [app, delta] : moved) {
    if (!history_.contains(app)) history_[app].push_back(delta);
  }
  return moved;
}

std::optional<std::string> Dashboard::Server::tick() {
  const bool watched = !watchers_.empty();
  const LiveTraffic::Snapshot traffic =
      sources_.traffic ? sources_.traffic->snapshot() : LiveTraffic::Snapshot{};
  std::map<std::string, LiveTraffic::Bytes> moved = takeTraffic(traffic);

  std::vector<ConnectionEvent> events = sources_.live.eventsAfter(cursor_);
  for (const ConnectionEvent& event : events) {
    if (event.phase != ConnectionEvent::Phase::close)
      lastRule_[event.app] = {event.ruleName.value_or(""), event.route};
  }

  const auto now = std::chrono::system_clock::now();
  std::unordered_map<std::string, LiveTraffic::Bytes> lastOpen;
  struct Shown {
    const LiveTraffic::Open* open;
    LiveTraffic::Bytes rate;
  };
  std::vector<Shown> shown;
  std::map<std::string, std::size_t> openPerApp;
  for (const LiveTraffic::Open& open : traffic.open) {
    const std::string id = open.opened.id.string();
    const auto before = lastOpen_.find(id);
    const LiveTraffic::Bytes previous =
        before == lastOpen_.end() ? LiveTraffic::Bytes{} : before->second;
    shown.push_back({&open,
                     {lessOrZero(open.bytes.sent, previous.sent),
                      lessOrZero(open.bytes.received, previous.received)}});
    lastOpen.emplace(id, open.bytes);
    ++openPerApp[open.opened.app];
  }
  lastOpen_ = std::move(lastOpen);
  if (!watched) return std::nullopt;

  // The busiest first, then the oldest; a page shows a thousand at the most.
  std::sort(shown.begin(), shown.end(), [](const Shown& a, const Shown& b) {
    const std::uint64_t rateA = a.rate.sent + a.rate.received;
    const std::uint64_t rateB = b.rate.sent + b.rate.received;
    if (rateA != rateB) return rateA > rateB;
    return a.open->opened.date < b.open->opened.date;
  });
  if (shown.size() > maxOpenShown) shown.resize(maxOpenShown);
  json::Value open = json::Value::array();
  for (const Shown& each : shown) open.push_back(openConnectionJSON(*each.open, each.rate, now));
  json::Value apps = json::Value::array();
  std::map<std::string, bool> listed;
  for (const auto& [app, delta] : moved) listed[app] = true;
  for (const auto& [app, count] : openPerApp) listed[app] = true;
  for (const auto& [app, unused] : listed) {
    const LiveTraffic::Bytes delta = moved.contains(app) ? moved[app] : LiveTraffic::Bytes{};
    const LiveTraffic::Bytes& total = totals_[app];
    json::Value entry = {{"app", app},
                         {"sent", delta.sent},
                         {"received", delta.received},
                         {"totalSent", total.sent},
                         {"totalReceived", total.received},
                         {"open", openPerApp.contains(app) ? openPerApp[app] : 0}};
    if (const auto rule = lastRule_.find(app); rule != lastRule_.end()) {
      if (!rule->second.first.empty()) entry["lastRule"] = rule->second.first;
      entry["lastRoute"] = rule->second.second;
    }
    apps.push_back(std::move(entry));
  }
  json::Value log = json::Value::array();
  const std::size_t skipped =
      events.size() > maxEventsPerTick ? events.size() - maxEventsPerTick : 0;
  for (std::size_t i = skipped; i < events.size(); ++i) log.push_back(toJSON(events[i]));
  json::Value rules = json::Value::object();
  for (const auto& [name, count] : sources_.live.ruleCounts()) rules[name] = count;
  // The log counts a connection's bytes when it closes; the page counts them as they move.
  json::Value stats = toJSON(sources_.live.stats());
  LiveTraffic::Bytes carried;
  for (const auto& [app, total] : traffic.totals) {
    carried.sent += total.sent;
    carried.received += total.received;
  }
  stats["bytesSent"] = carried.sent;
  stats["bytesReceived"] = carried.received;
  return sseMessage("tick", json::compact({{"open", std::move(open)},
                                           {"openTotal", traffic.open.size()},
                                           {"apps", std::move(apps)},
                                           {"events", std::move(log)},
                                           {"skippedEvents", skipped},
                                           {"rules", std::move(rules)},
                                           {"stats", std::move(stats)}}));
}

Dashboard::Dashboard(Sources sources) : sources_(std::move(sources)) {}

Dashboard::~Dashboard() = default;

Dashboard::Place Dashboard::follow(const DaemonSettings& settings) {
  if (!settings.dashboard) {
    if (std::exchange(server_, nullptr)) sources_.log(VL("控制面板已关闭"));
    asked_.reset();
    problem_.reset();
    return {};
  }
  const std::string& token = settings.dashboardToken;
  if (asked_ != settings.dashboardPort) {
    asked_ = settings.dashboardPort;
    try {
      server_ = std::make_unique<Server>(sources_, *asked_, token);
      problem_.reset();
      sources_.log(VL("控制面板在 %@", dashboardAddress(server_->port())));
    } catch (const Error& error) {
      problem_ = error.description();
      sources_.log(*problem_);
    }
  }
  if (server_) server_->setToken(token);
  return {server_ ? std::optional(dashboardAddress(server_->port())) : std::nullopt, problem_};
}

}  // namespace velmora::dashboard
