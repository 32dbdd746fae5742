#include "seq_gap.h"

void seq_gaps::seen(uint64_t seq, uint64_t now_ns)
{
	if (!started_ || seq >= next_) {
		if (started_ && seq > next_)
			holes_[next_] = { seq - 1, now_ns };
		started_ = true;
		next_ = seq + 1;
		return;
	}
	auto it = holes_.upper_bound(seq);
	if (it == holes_.begin())
		return;
	--it;
	const uint64_t first = it->first;
	const hole h = it->second;
	if (seq > h.last)
		return; // a duplicate
	holes_.erase(it);
	if (first < seq)
		holes_[first] = { seq - 1, h.since };
	if (seq < h.last)
		holes_[seq + 1] = { h.last, h.since };
}

std::vector<lost_events> seq_gaps::expire(uint64_t now_ns, bool all)
{
	std::vector<lost_events> out;
	for (auto it = holes_.begin(); it != holes_.end();) {
		if (!all && now_ns - it->second.since < kGraceNs) {
			++it;
			continue;
		}
		total_ += it->second.last - it->first + 1;
		out.push_back({ it->first, it->second.last, total_, now_ns });
		it = holes_.erase(it);
	}
	return out;
}
