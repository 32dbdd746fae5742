// The connector socket on which the module's block events arrive.
#ifndef ZENTROPED_NETLINK_H
#define ZENTROPED_NETLINK_H

#include <array>
#include <cstddef>
#include <cstdint>

constexpr size_t kListenMsgSize = 40;

// The listen request from @portid: netlink and connector headers and one
// u32 value (1 start, 2 stop), carrying sequence numbers counter + 1 and
// counter.
std::array<unsigned char, kListenMsgSize> listen_message(uint32_t portid,
							 uint32_t counter,
							 uint32_t value);

// Creates, binds (group 16) and enlarges the socket: the fd, or -1
// (logged). The kernel picks the port id, returned in @portid, so no other
// process can take it beforehand.
int cn_open(uint32_t *portid);

#endif
