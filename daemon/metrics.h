// The daemon's counters for Prometheus: their state, their text in the
// text exposition format, and the file node exporter's textfile collector
// reads them from.
#ifndef ZENTROPED_METRICS_H
#define ZENTROPED_METRICS_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "bundle.h"
#include "config.h"
#include "status.h"

struct daemon_metrics {
	// By operation and rule word, as the block log names them.
	std::map<std::pair<std::string, std::string>, uint64_t> refusals;
	uint64_t events_lost = 0;
	std::map<std::string, uint64_t> list_entries; // by list name
	uint64_t reloads = 0, reload_failures = 0;
	uint64_t last_success_ns = 0; // realtime of the last push
	module_build build;
};

// Entries of every list of @cfg: the tokens of its lines (an address line
// is one entry), for block_hash also the digests of the binary files. Read
// before the push, which empties the lists.
std::map<std::string, uint64_t> count_list_entries(const daemon_config &cfg);

// A label value with the backslash, the double quote and the newline
// escaped, and bytes that are not UTF-8 as the text "\xHH".
std::string label_value(const std::string &s);

// Every metric, with HELP and TYPE lines.
std::string metrics_text(const daemon_metrics &m);

// Writes @text to a new file beside @path (created 0644, never through a
// symbolic link) and renames it over @path, so a reader sees the old file
// or the new one, never a part.
Status write_file_atomic(const std::string &path, const std::string &text);

#endif
