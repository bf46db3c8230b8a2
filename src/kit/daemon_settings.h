// The application's own settings, which belong to no profile: the master switch, whether
// automation clients may change the configuration, where the local proxy listens, and the port
// of the transparent listener and of the DNS responder for captured programs, and which
// programs transparent capture takes, and the dashboard in the browser.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

/// The settings file "velmorad.json" in the store directory: a pretty-printed JSON object with
/// the keys below. velmoractl reads it too, to find the local proxy. A missing file or key takes
/// the default; a value of the wrong type makes the whole file unreadable.
struct DaemonSettings {
  bool enabled = false;
  bool automationWritesAllowed = true;
  std::string proxyAddress = "127.0.0.1";
  /// Away from 1080, 7890 and the other ports that proxy clients commonly listen on.
  std::uint16_t proxyPort = 11080;
  /// Where connections redirected by the kernel's nat rules arrive, on 127.0.0.1 and ::1; 0 for
  /// a port of the kernel's choice.
  std::uint16_t transparentPort = 11090;
  /// Where captured programs' DNS questions arrive, over UDP and TCP on 127.0.0.1 and ::1; 0 for
  /// a port of the kernel's choice.
  std::uint16_t dnsPort = 11053;
  /// Which programs transparent capture redirects: those `velmoractl run --transparent` starts,
  /// every program of the user's session but velmorad itself, or none.
  enum class Capture { programs, session, off };
  Capture capture = Capture::programs;
  /// The session's cgroup ("/my-session") on a machine whose user session has no systemd
  /// manager (user@UID.service) to find it by; empty otherwise.
  std::string sessionCgroup;
  /// Whether velmorad serves its dashboard in the browser, on 127.0.0.1 and ::1 at dashboardPort.
  bool dashboard = true;
  std::uint16_t dashboardPort = 11070;
  /// The user's secret that every request to the dashboard carries; velmorad makes one when it
  /// finds none, and the file stays readable by the user alone.
  std::string dashboardToken;

  static std::filesystem::path fileIn(const std::filesystem::path& storeDirectory);
  /// A new secret for the dashboard: 32 random bytes in hexadecimal. Throws velmora::Error when
  /// the kernel gives no random bytes.
  static std::string newDashboardToken();
  /// The settings in file, or the defaults when there is no file. Throws json::DecodingError or
  /// FileError for a file that cannot be read.
  static DaemonSettings load(const std::filesystem::path& file);
  /// Replaces file atomically, readable by the user alone.
  void save(const std::filesystem::path& file) const;

  bool operator==(const DaemonSettings&) const = default;
};

/// "programs", "session", "off": the word of the settings file and of `velmoractl capture`.
std::string_view captureWord(DaemonSettings::Capture capture);
/// The mode a word names; nothing for any other word.
std::optional<DaemonSettings::Capture> captureNamed(std::string_view word);

}  // namespace velmora
