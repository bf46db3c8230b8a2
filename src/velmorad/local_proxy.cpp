#include "local_proxy.h"

#include "kit/error.h"
#include "kit/localize.h"
#include "log.h"
#include "proxy_protocols.h"

namespace velmora::daemon {

void LocalProxy::followDns(const DaemonSettings& settings, const std::optional<Profile>& profile) {
  if (settings.dnsPort != askedDns_) {
    askedDns_ = settings.dnsPort;
    try {
      // The new responder binds before the old one lets go, so a port in use keeps the old one.
      auto moved =
          std::make_unique<dns::DnsResponder>(dns::DnsResponder::Options{.port = settings.dnsPort},
                                              names_, [](std::string_view line) { log(line); });
      const std::string place = dataplane::hostPort("127.0.0.1", moved->port());
      log(dns_ ? VL("DNS 应答已改到 %@ 上（UDP 与 TCP）", place)
               : VL("DNS 应答在 %@ 上（UDP 与 TCP）", place));
      dns_ = std::move(moved);
    } catch (const Error& error) {
      log(dns_ ? VL("DNS 应答无法改到端口 %lld：%@，仍在端口 %lld 上",
                    static_cast<long long>(settings.dnsPort), error.description(),
                    static_cast<long long>(dns_->port()))
               : VL("DNS 应答无法启动：%@", error.description()));
    }
  }
  if (dns_) dns_->follow(settings.enabled && profile ? std::optional(profile->dns) : std::nullopt);
}

Application::LocalProxy LocalProxy::follow(const DaemonSettings& settings,
                                           const std::optional<Profile>& profile) {
  const std::pair<std::string, std::uint16_t> wanted{settings.proxyAddress, settings.proxyPort};
  if (wanted != asked_) {
    asked_ = wanted;
    const std::string place = dataplane::hostPort(wanted.first, wanted.second);
    try {
      if (plane_) {
        plane_->listen(wanted.first, wanted.second);
        log(VL("本地代理已改到 %@ 上监听", plane_->address()));
      } else {
        plane_ = std::make_unique<dataplane::DataPlane>(
            dataplane::DataPlane::Options{
                .address = wanted.first,
                .port = wanted.second,
                .fakeNames = names_,
                .traffic = traffic_},
            [this](const ConnectionEvent& event) { live_.record(event); },
            [](std::string_view line) { log(line); });
        log(VL("本地代理在 %@ 上监听（SOCKS5 与 HTTP），最多同时 %lld 个连接", plane_->address(),
               static_cast<long long>(plane_->maxConnections())));
      }
      problem_.reset();
    } catch (const Error& error) {
      problem_ = plane_ ? VL("无法改到 %@：%@", place, error.description())
                        : VL("无法启动：%@", error.description());
      log(plane_ ? VL("本地代理%@，仍在 %@ 上监听", *problem_, plane_->address())
                 : VL("本地代理%@", *problem_));
    }
  }
  if (plane_ && settings.transparentPort != askedTransparent_) {
    askedTransparent_ = settings.transparentPort;
    const std::optional<std::uint16_t> before = plane_->transparentPort();
    try {
      plane_->listenTransparent(settings.transparentPort);
      const std::string place = dataplane::hostPort("127.0.0.1", *plane_->transparentPort());
      log(before ? VL("透明代理已改到 %@ 上监听", place) : VL("透明代理在 %@ 上监听", place));
      transparentProblem_.reset();
    } catch (const Error& error) {
      if (before) {
        transparentProblem_ =
            VL("透明代理无法改到端口 %lld：%@", static_cast<long long>(settings.transparentPort),
               error.description());
        log(VL("%@，仍在端口 %lld 上监听", *transparentProblem_, static_cast<long long>(*before)));
      } else {
        transparentProblem_ = VL("透明代理无法启动：%@", error.description());
        log(*transparentProblem_);
      }
    }
  }
  if (plane_) plane_->follow(profile, settings.enabled);
  followDns(settings, profile);
  std::optional<std::string> problem = problem_;
  if (transparentProblem_)
    problem = problem ? *problem + "；" + *transparentProblem_ : *transparentProblem_;
  std::optional<std::string> transparent;
  if (plane_ && plane_->transparentPort())
    transparent = dataplane::hostPort("127.0.0.1", *plane_->transparentPort());
  return {plane_ ? std::optional(plane_->address()) : std::nullopt, problem, transparent};
}

}  // namespace velmora::daemon
