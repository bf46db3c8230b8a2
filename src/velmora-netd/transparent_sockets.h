// The sockets captured UDP travels through, made by the helper because only it may make them
// transparent, and handed to the client: the one that receives a client's captured datagrams
// with their original destinations, and those that send a destination's answers back from that
// destination's address.
#pragma once

#include <cstdint>
#include <string>

#include "kit/unique_fd.h"

namespace velmora::netd {

/// A non-blocking transparent UDP socket bound to loopback (127.0.0.1 for AF_INET, ::1 for
/// AF_INET6) at port, which reports each datagram's original destination (IP_RECVORIGDSTADDR),
/// carries mark and has a receive buffer of 4 MiB. Throws Error with the reason, the port taken by another socket included.
UniqueFd receivingSocket(int family, std::uint16_t port, std::uint32_t mark);

/// A transparent UDP socket bound to address:port, carrying mark, that drops whatever reaches
/// it: it exists to send answers from there, and the filter that drops is locked, so that no
/// client can make it receive a flow that is not its own. Throws Refusal when address is one of
/// this machine's, or loopback, multicast, broadcast or unspecified: sending from there is not
/// answering a captured flow. Throws Error when the socket cannot be made.
UniqueFd replySocket(const std::string& address, std::uint16_t port, std::uint32_t mark);

}  // namespace velmora::netd
