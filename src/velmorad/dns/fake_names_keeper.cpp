#include "fake_names_keeper.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "kit/error.h"
#include "kit/file_io.h"
#include "kit/localize.h"

namespace velmora::dns {

FakeNamesKeeper::FakeNamesKeeper(std::filesystem::path file, std::shared_ptr<FakeNames> names,
                                 Log log)
    : file_(std::move(file)),
      names_(std::move(names)),
      log_(std::move(log)),
      timer_(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {
  if (!timer_) throw Error(VL("无法创建计时器：%@", std::strerror(errno)));
  const itimerspec every{.it_interval = {.tv_sec = interval.count(), .tv_nsec = 0},
                         .it_value = {.tv_sec = interval.count(), .tv_nsec = 0}};
  if (::timerfd_settime(timer_.get(), 0, &every, nullptr) != 0)
    throw Error(VL("无法创建计时器：%@", std::strerror(errno)));

  std::error_code missing;
  if (!std::filesystem::exists(file_, missing)) {
    savedVersion_ = names_->version();
    return;
  }
  try {
    names_->restore(readFile(file_));
    savedVersion_ = names_->version();
  } catch (const Error& error) {
    std::filesystem::path aside = file_;
    aside += ".damaged";
    std::error_code ignored;
    std::filesystem::rename(file_, aside, ignored);
    log_(VL("假地址表「%@」读不出来（%@），已移到「%@」，从空表开始", file_.string(),
            error.description(), aside.string()));
  }
}

void FakeNamesKeeper::save() {
  std::uint64_t expirations = 0;
  while (::read(timer_.get(), &expirations, sizeof expirations) > 0) {
  }
  const std::uint64_t version = names_->version();
  if (version == savedVersion_) return;
  try {
    createDirectories(file_.parent_path(), 0700);
    writeFileAtomically(file_, names_->saved(), 0600);
    savedVersion_ = version;
    failing_ = false;
  } catch (const Error& error) {
    if (!failing_) log_(VL("无法保存假地址表：%@", error.description()));
    failing_ = true;
  }
}

}  // namespace velmora::dns
