// Messages of the module's connector channel: validation and decoding.
#ifndef ZENTROPED_EVENT_H
#define ZENTROPED_EVENT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zentrope_event.h"

enum class msg_status {
	kRecords,   // records decoded (possibly none)
	kNlError,   // an NLMSG_ERROR message
	kIgnored,   // not a connector message of this channel
	kBadLength, // lengths that do not fit the datagram
};

// Checks one datagram of len bytes received from sender_pid (0 is the
// kernel) and copies out its whole records. Nothing is trusted: the
// netlink length, the connector id and length, and the record count must
// all fit inside what was received.
msg_status decode_message(const void *buf, size_t len, uint32_t sender_pid,
			  std::vector<event_payload> *out);

// "%FT%T.<usec>" of an event time in nanoseconds since the epoch.
std::string event_time_text(uint64_t time_ns);

// What an acknowledgement asks of the daemon: true to stop (and *why, the
// verbose message), false to ignore it.
bool ack_stops(uint32_t code, const char **why);

#endif
