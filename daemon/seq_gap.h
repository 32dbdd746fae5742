// Which of the module's block events never reached the daemon. The module
// numbers events as it sends them, from any CPU, so two CPUs may deliver
// theirs out of order: a missing number is given up only once it has been
// missing for a grace period, and one that turns up late is no loss.
#ifndef ZENTROPED_SEQ_GAP_H
#define ZENTROPED_SEQ_GAP_H

#include <cstdint>
#include <map>
#include <vector>

#include "block_log.h"

class seq_gaps {
public:
	static constexpr uint64_t kGraceNs = 1000000000ull;

	// The first number seen starts the count: what came before it went to
	// an earlier listener or to nobody.
	void seen(uint64_t seq, uint64_t now_ns);
	// The runs missing for the grace period, or with @all every run, in
	// sequence order; each counted into the total once.
	std::vector<lost_events> expire(uint64_t now_ns, bool all = false);
	bool pending() const { return !holes_.empty(); }
	uint64_t total() const { return total_; }

private:
	struct hole {
		uint64_t last;
		uint64_t since;
	};
	bool started_ = false;
	uint64_t next_ = 0;
	std::map<uint64_t, hole> holes_; // by first missing number
	uint64_t total_ = 0;
};

#endif
