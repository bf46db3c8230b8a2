// velmorad: the Velmora application for Linux. Owns the live state, serves the automation
// interface on the session bus, follows the store directory and the network, until SIGINT or
// SIGTERM.
#include <sdbus-c++/sdbus-c++.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "application.h"
#include "capture/transparent_capture.h"
#include "dashboard.h"
#include "fake_names_keeper.h"
#include "kit/automation_service.h"
#include "kit/localize.h"
#include "kit/profile_store.h"
#include "kit/service.h"
#include "kit/unique_fd.h"
#include "live_state.h"
#include "local_proxy.h"
#include "log.h"
#include "main_loop.h"
#include "network_environment.h"
#include "store_watch.h"
#include "test_hooks.h"

namespace {

using namespace velmora;
using namespace velmora::daemon;
using namespace std::chrono_literals;

constexpr const char* usage =
    "用法: velmorad [--test-hooks]\n"
    "Velmora 的后台程序：管理路由开关、当前 profile 和网络环境，并在会话总线上为 velmoractl "
    "提供服务。\n"
    "  --test-hooks  另外导出测试用的接口 io.velmora.Testing1（只给测试用）\n";

/// Where the machine is now. A kernel that cannot be asked counts as no network.
NetworkEnvironment::Fingerprint observe(const KernelNetwork* kernel, NetworkManagerWifi* wifi) {
  std::optional<WiredNetwork> wired;
  if (kernel) {
    try {
      wired = KernelNetwork::defaultRoute();
    } catch (const Error& error) {
      log(error.description());
    }
  }
  return makeFingerprint(wired, wifi ? wifi->ssid() : std::nullopt);
}

/// Raises the soft open-file limit to the hard one: every proxied connection holds two sockets,
/// and the default soft limit of 1,024 would stop the proxy at about 500 connections.
void raiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
    log(VL("无法提高可打开文件数的上限：%@", std::strerror(errno)));
}

int serve(bool testHooks) {
  UniqueFd signals = service::stopSignals();
  ProfileStore store(SharedPaths::storeDirectory());
  LiveState live(std::chrono::system_clock::now());
  Application application(store, live, [] { return std::chrono::system_clock::now(); });
  std::unique_ptr<sdbus::IConnection> bus;
  try {
    bus = sdbus::createSessionBusConnection();
  } catch (const sdbus::Error& error) {
    log(VL("连不上 D-Bus 会话总线：%@", error.getMessage()));
    return 1;
  }
  const std::string name(SharedPaths::automationMachService);
  // Requests that arrive before the loop runs wait in the connection; a second daemon learns
  // at once that the name is taken.
  MainLoop loop;
  TransparentCapture capture(loop);
  AutomationService service(
      *bus, application,
      {.takeUpChanges = [&application] { application.refresh(); },
       .captureCgroup = [&capture](const std::string& cgroup) { capture.capture(cgroup); }});
  std::unique_ptr<TestHooks> hooks;
  if (testHooks) hooks = std::make_unique<TestHooks>(*bus, live);
  try {
    bus->requestName(name);
  } catch (const sdbus::Error& error) {
    log(VL("总线名 %@ 已被占用，另一个 velmorad 可能正在运行：%@", name, error.getMessage()));
    return 1;
  }

  StoreWatch storeWatch(store.directory());
  application.refresh();
  raiseOpenFileLimit();
  const auto fakeNames = std::make_shared<FakeNames>();
  dns::FakeNamesKeeper fakeNamesKeeper(SharedPaths::stateDirectory() / "fake-names.json", fakeNames,
                                       [](std::string_view line) { log(line); });
  const auto traffic = std::make_shared<dataplane::LiveTraffic>();
  LocalProxy localProxy(live, fakeNames, traffic);
  MainLoop::Inbox inbox(loop);
  dashboard::Dashboard dashboard(
      {.live = live,
       .traffic = traffic,
       .operations = application,
       .writesAllowed = [&application] { return application.settings().automationWritesAllowed; },
       .onMain = [&inbox](std::function<void()> work) { inbox.post(std::move(work)); },
       .log = [](std::string_view line) { log(line); }});
  capture.captureUdp(
      [&localProxy](std::vector<UniqueFd> sockets, std::shared_ptr<dataplane::UdpHelper> helper) {
        localProxy.carryCapturedUdp(std::move(sockets), std::move(helper));
      },
      [&localProxy] { localProxy.stopCapturedUdp(); });
  application.dataPlaneStarted([&application, &localProxy, &capture, &dashboard] {
    Application::LocalProxy state =
        localProxy.follow(application.settings(), application.activeProfile());
    const dashboard::Dashboard::Place place = dashboard.follow(application.settings());
    state.dashboard = place.address;
    state.dashboardProblem = place.problem;
    const std::optional<Profile>& profile = application.activeProfile();
    const DaemonSettings& settings = application.settings();
    capture.follow(settings.enabled, localProxy.transparentPort(), localProxy.dnsPort(),
                   !profile || profile->general.failsafeOnCrash, settings.capture,
                   settings.sessionCgroup);
    return state;
  });
  application.captureStarted([&capture] { return capture.state(); });

  std::unique_ptr<KernelNetwork> kernel;
  try {
    kernel = std::make_unique<KernelNetwork>();
  } catch (const Error& error) {
    log(VL("不跟踪有线网络：%@", error.description()));
  }
  std::unique_ptr<NetworkManagerWifi> wifi;
  // Route, neighbour and NetworkManager announcements come in bursts; the network is read once
  // the burst is over.
  MainLoop::Coalescer networkChanged(
      loop, 200ms, [&] { application.networkChanged(observe(kernel.get(), wifi.get())); });
  wifi = NetworkManagerWifi::connect([&networkChanged] { networkChanged.request(); });
  if (!wifi) log(VL("没有系统总线，不跟踪 Wi-Fi"));
  application.networkChanged(observe(kernel.get(), wifi.get()));

  MainLoop::Coalescer storeChanged(loop, 100ms, [&] { application.refresh(); });
  loop.watch(storeWatch.fd(), [&] {
    storeWatch.drain();
    storeChanged.request();
  });
  if (kernel) {
    loop.watch(kernel->fd(), [&] {
      kernel->drain();
      networkChanged.request();
    });
  }
  loop.watch(fakeNamesKeeper.fd(), [&] { fakeNamesKeeper.save(); });
  loop.watchBus(*bus);
  if (wifi) loop.watchBus(wifi->bus());
  loop.watch(signals.get(), [&] {
    signalfd_siginfo info{};
    if (::read(signals.get(), &info, sizeof info) == sizeof info)
      log(VL("收到 SIG%@，正在退出", sigabbrev_np(static_cast<int>(info.ssi_signo))));
    loop.stop();
  });

  log(VL("已就绪：在会话总线上以 %@ 提供服务", name));
  sd_notify(0, "READY=1");
  loop.run();
  sd_notify(0, "STOPPING=1");
  fakeNamesKeeper.save();
  bus->releaseName(name);
  log(VL("已退出"));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_MESSAGES, "");
  std::setlocale(LC_CTYPE, "");
  bool testHooks = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--test-hooks") {
      testHooks = true;
    } else if (argument == "-h" || argument == "--help") {
      std::fputs(usage, stdout);
      return 0;
    } else {
      std::fputs(("velmorad: 未知选项 " + argument + "\n" + usage).c_str(), stderr);
      return 1;
    }
  }
  try {
    return serve(testHooks);
  } catch (const std::exception& error) {
    log(error.what());
    return 1;
  }
}
