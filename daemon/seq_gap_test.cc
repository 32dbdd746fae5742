#include "seq_gap.h"

#include <string>

#include "test_util.h"

namespace {

// Each row: sequence numbers as they arrive (all at time 0), then what is
// given up a grace period later: "first-last/total" per run.
TEST(SeqGaps, CountsOnlyWhatNeverCame)
{
	const struct {
		const char *name;
		std::vector<uint64_t> seqs;
		std::string lost;
	} cases[] = {
		{ "in order", { 5, 6, 7 }, "" },
		{ "first number is the start", { 1000 }, "" },
		{ "one run", { 1, 2, 6, 7 }, "3-5/3 " },
		{ "two runs", { 1, 3, 4, 9 }, "2-2/1 5-8/5 " },
		{ "late arrival fills the hole", { 1, 3, 2, 4 }, "" },
		{ "late arrival splits the hole", { 1, 6, 3 }, "2-2/1 4-5/3 " },
		{ "duplicates and old numbers", { 4, 5, 5, 2, 6 }, "" },
	};
	for (const auto &c : cases) {
		seq_gaps g;
		for (uint64_t s : c.seqs)
			g.seen(s, 0);
		EXPECT_TRUE(g.expire(seq_gaps::kGraceNs - 1).empty()) << c.name;
		std::string got;
		for (const lost_events &l : g.expire(seq_gaps::kGraceNs))
			got += std::to_string(l.first) + "-" + std::to_string(l.last) + "/" +
			       std::to_string(l.total) + " ";
		EXPECT_EQ(got, c.lost) << c.name;
		EXPECT_FALSE(g.pending()) << c.name;
	}
}

TEST(SeqGaps, AllGivesUpAtOnce)
{
	seq_gaps g;
	g.seen(1, 0);
	g.seen(3, 0);
	EXPECT_TRUE(g.pending());
	ASSERT_EQ(g.expire(0, true).size(), 1u);
	EXPECT_EQ(g.total(), 1u);
}

} // namespace
