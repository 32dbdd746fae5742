// A reload applies the difference between the new configuration and what
// the module holds: first it adds what is missing, then it deletes what is
// no longer listed, so a rule kept across the reload is never absent and a
// reload that fails part-way leaves the earlier rules in force.
#ifndef ZENTROPED_RELOAD_H
#define ZENTROPED_RELOAD_H

#include <string>
#include <vector>

#include "config.h"

// The text lists. The key of a token is the form the module stores and
// reads back; tokens without one are pushed again every time.
enum class list_kind { kName, kUrl, kPort, kAddress };

struct list_diff {
	std::vector<std::string> add; // entries, as the list file has them
	std::vector<std::string> del; // texts the module reads back
};

// Entries of want whose tokens are not all in the module's list text
// (dump), and the module's texts that want no longer names.
list_diff diff_list(list_kind kind, const rule_list &want,
		    const std::string &dump);

// Every list, or with interp_only the interpreter list alone. 0, or the
// first failure (logged); a full kernel list is not a failure.
int reload_apply(daemon_config *cfg, bool interp_only);

#endif
