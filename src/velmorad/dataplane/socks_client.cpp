#include "socks_client.h"

#include <array>
#include <cstdint>

#include "kit/localize.h"

namespace velmora::dataplane {

SocksReply replyFor(const std::error_code& error) {
  if (error == asio::error::connection_refused) return SocksReply::connectionRefused;
  if (error == asio::error::network_unreachable) return SocksReply::networkUnreachable;
  if (error == asio::error::host_unreachable || error == asio::error::host_not_found)
    return SocksReply::hostUnreachable;
  if (error == asio::error::timed_out) return SocksReply::ttlExpired;
  return SocksReply::generalFailure;
}

asio::awaitable<SocksOutcome> socksExchange(asio::ip::tcp::socket& socket, const ProxyServer& hop,
                                            std::string_view request, std::string_view what) {
  constexpr std::uint8_t version = 5;
  std::error_code error;
  const auto broken = [&] {
    return SocksOutcome{{SocksReply::generalFailure,
                         VL("代理「%@」握手失败：%@", hop.name,
                            error ? error.message() : VL("应答不合规"))}};
  };
  const std::string greeting =
      hop.credentials ? std::string("\x05\x02\x00\x02", 4) : std::string("\x05\x01\x00", 3);
  std::array<std::uint8_t, 5> reply{};
  co_await asio::async_write(socket, asio::buffer(greeting), failuresAsValues(error));
  if (!error) co_await asio::async_read(socket, asio::buffer(reply, 2), failuresAsValues(error));
  if (error || reply[0] != version) co_return broken();
  if (reply[1] == 2 && hop.credentials) {
    const std::optional<std::string> login = socksPasswordRequest(*hop.credentials);
    if (!login)
      co_return SocksOutcome{
          {SocksReply::generalFailure, VL("代理「%@」的用户名或密码太长", hop.name)}};
    co_await asio::async_write(socket, asio::buffer(*login), failuresAsValues(error));
    if (!error) co_await asio::async_read(socket, asio::buffer(reply, 2), failuresAsValues(error));
    if (error) co_return broken();
    if (reply[1] != 0)
      co_return SocksOutcome{
          {SocksReply::generalFailure, VL("代理「%@」拒绝了用户名或密码", hop.name)}};
  } else if (reply[1] != 0) {
    co_return SocksOutcome{
        {SocksReply::generalFailure, VL("代理「%@」不接受我们提供的认证方式", hop.name)}};
  }
  co_await asio::async_write(socket, asio::buffer(request.data(), request.size()),
                             failuresAsValues(error));
  if (!error) co_await asio::async_read(socket, asio::buffer(reply, 5), failuresAsValues(error));
  if (error || reply[0] != version) co_return broken();
  if (reply[1] != 0)
    co_return SocksOutcome{{static_cast<SocksReply>(reply[1] <= 8 ? reply[1] : 1),
                            VL("代理「%@」拒绝%@（SOCKS5 应答 %lld）", hop.name,
                               std::string(what), static_cast<long long>(reply[1]))}};
  const std::optional<std::size_t> length = socksAddressLength(reply[3], reply[4]);
  if (!length) co_return broken();
  std::string bound(*length, '\0');
  bound[0] = static_cast<char>(reply[3]);
  bound[1] = static_cast<char>(reply[4]);
  co_await asio::async_read(socket, asio::buffer(bound.data() + 2, *length - 2),
                            failuresAsValues(error));
  if (error) co_return broken();
  co_return SocksOutcome{{}, std::move(bound)};
}

}  // namespace velmora::dataplane
