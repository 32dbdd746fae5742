// The block log's lines: one per block event, as text for people or as one
// JSON object for machines, and one per run of events the daemon never got.
// Every byte of a field comes from user space (a file name, a process
// name, a queried domain), so none may break a line or the JSON around it.
#ifndef ZENTROPED_BLOCK_LOG_H
#define ZENTROPED_BLOCK_LOG_H

#include <cstdint>
#include <string>

#include "config.h"
#include "zentrope_event.h"

// Length of the valid UTF-8 sequence at s[i], 0 when there is none:
// overlong forms, surrogates and code points past U+10FFFF are not.
size_t utf8_len(const std::string &s, size_t i);

// The operation word (*op: "connecting") and the rule class (*rule: "ip")
// of a block event as both log formats name them; false for the records
// that make no line.
bool event_words(const block_event &ev, const char **op, const char **rule);

// Control characters and the backslash as "\xHH"; the rest as it is.
std::string escape_text(const std::string &s);
// escape_text, and every byte that is not part of valid UTF-8 as "\xHH":
// the result is valid UTF-8 and decoding the escapes gives back @s.
std::string escape_utf8(const std::string &s);

// The text line of a block event, newline included; empty for the records
// that make none.
std::string format_block_line(const event_payload &rec);
// The JSON object of a block event on one line, newline included; empty
// where the text form is.
std::string format_block_json(const event_payload &rec, const std::string &host);

// Events first..last (sequence numbers) never arrived; @total counts all
// lost since the daemon started, these included.
struct lost_events {
	uint64_t first, last, total;
	uint64_t time_ns; // when the daemon gave them up
};
std::string format_lost(const lost_events &l, log_format fmt,
			const std::string &host);

// One block-log line of either kind in the configured format.
std::string format_event(const event_payload &rec, log_format fmt,
			 const std::string &host);

#endif
