#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "kmod.h"

namespace {

using Digest = std::array<u8, SHA1_DIGEST_LEN>;

Digest Make(uint32_t n, uint32_t salt = 0)
{
	Digest d{};
	for (int i = 0; i < 4; i++) {
		d[i] = n >> (8 * i);
		d[4 + i] = salt >> (8 * i);
		d[16 + i] = (n * 2654435761u) >> (8 * i);
	}
	return d;
}

bool Later(const timespec64 &a, const timespec64 &b)
{
	return a.tv_sec != b.tv_sec || a.tv_nsec != b.tv_nsec;
}

timespec64 ChangeTime()
{
	timespec64 ts;
	block_hash_change_time(&ts);
	return ts;
}

void Tick()
{
	struct timespec t = { 0, 1000 };
	nanosleep(&t, nullptr);
}

class BlockHash : public testing::Test {
protected:
	void SetUp() override { ASSERT_EQ(block_hash_init(), 0); }
	void TearDown() override
	{
		block_hash_exit();
		EXPECT_EQ(shim_cache_objects(), 0) << "nodes leaked";
	}
	int Add(const Digest &d) { return update_block_hash(d.data(), d.size()); }
	int Has(const Digest &d) { return exist_block_hash(d.data(), d.size()); }
	int Del(const Digest &d) { return delete_block_hash(d.data(), d.size()); }

	// Digests in list order, read through a cursor in chunks of @chunk.
	std::vector<Digest> Dump(size_t chunk)
	{
		std::vector<Digest> out;
		block_hash_cursor c{};
		loff_t pos = 0;
		for (;;) {
			rcu_read_lock();
			hash_sha1_node *n = block_hash_cursor_start(&c, pos);
			size_t got = 0;
			while (n && got < chunk) {
				Digest d;
				memcpy(d.data(), n->digest, d.size());
				out.push_back(d);
				got++;
				n = block_hash_cursor_next(&c, n, &pos);
			}
			rcu_read_unlock();
			if (!n)
				return out;
		}
	}
};

TEST_F(BlockHash, AddLookupDelete)
{
	Digest a = Make(1), b = Make(2);
	EXPECT_EQ(Has(a), 0);
	EXPECT_EQ(Add(a), 0);
	EXPECT_EQ(Has(a), 1);
	EXPECT_EQ(Has(b), 0);
	EXPECT_EQ(atomic_read(&num_block_hash), 1);
	EXPECT_EQ(Del(a), 0);
	EXPECT_EQ(Has(a), 0);
	EXPECT_EQ(Del(a), -ENOENT);
	EXPECT_EQ(atomic_read(&num_block_hash), 0);
}

TEST_F(BlockHash, BadArguments)
{
	Digest a = Make(1);
	EXPECT_EQ(update_block_hash(nullptr, 20), -EINVAL);
	EXPECT_EQ(update_block_hash(a.data(), 19), -EINVAL);
	EXPECT_EQ(update_block_hash(a.data(), 21), -EINVAL);
	EXPECT_EQ(delete_block_hash(a.data(), 0), -EINVAL);
	EXPECT_EQ(delete_block_hash(nullptr, 20), -EINVAL);
	EXPECT_EQ(exist_block_hash(nullptr, 20), 0);
	EXPECT_EQ(exist_block_hash(a.data(), 40), 0);
}

TEST_F(BlockHash, DuplicateKeepsOneAndTime)
{
	Digest a = Make(7);
	ASSERT_EQ(Add(a), 0);
	timespec64 t1 = ChangeTime();
	Tick();
	EXPECT_EQ(Add(a), 0);
	EXPECT_FALSE(Later(ChangeTime(), t1));
	EXPECT_EQ(atomic_read(&num_block_hash), 1);
	EXPECT_EQ(Dump(100).size(), 1u);
}

TEST_F(BlockHash, ChangeTimeFollowsChanges)
{
	timespec64 t0 = ChangeTime();
	Tick();
	EXPECT_EQ(clear_block_hash(), 0);
	EXPECT_FALSE(Later(ChangeTime(), t0)) << "empty clear moved the time";
	EXPECT_EQ(Del(Make(1)), -ENOENT);
	EXPECT_FALSE(Later(ChangeTime(), t0)) << "failed delete moved the time";
	ASSERT_EQ(Add(Make(1)), 0);
	timespec64 t1 = ChangeTime();
	EXPECT_TRUE(Later(t1, t0));
	Tick();
	ASSERT_EQ(Del(Make(1)), 0);
	timespec64 t2 = ChangeTime();
	EXPECT_TRUE(Later(t2, t1));
	ASSERT_EQ(Add(Make(2)), 0);
	timespec64 t3 = ChangeTime();
	Tick();
	EXPECT_EQ(clear_block_hash_nowait(), 0);
	EXPECT_TRUE(Later(ChangeTime(), t3));
	EXPECT_EQ(atomic_read(&num_block_hash), 0);
}

TEST_F(BlockHash, NearDigestsToldApart)
{
	Digest a = Make(42, 1), b = a;
	b[19] ^= 1;		// differs only in the last of the 20 bytes
	ASSERT_EQ(Add(a), 0);
	EXPECT_EQ(Has(b), 0);
	ASSERT_EQ(Add(b), 0);
	ASSERT_EQ(Del(a), 0);
	EXPECT_EQ(Has(a), 0);
	EXPECT_EQ(Has(b), 1);
}

// Enough digests that many share probe runs, through the table's growth;
// deleting inside the runs may not cut off the digests behind them.
TEST_F(BlockHash, DeletesInsideProbeRuns)
{
	for (uint32_t n : { 700u, 769u, 5000u, 100000u }) {
		std::vector<Digest> want;
		for (uint32_t i = 0; i < n; i++)
			ASSERT_EQ(Add(Make(i, n)), 0);
		for (uint32_t i = 0; i < n; i += 3)
			ASSERT_EQ(Del(Make(i, n)), 0);
		for (uint32_t i = 0; i < n; i++) {
			ASSERT_EQ(Has(Make(i, n)), i % 3 != 0) << n << " " << i;
			if (i % 3)
				want.push_back(Make(i, n));
		}
		for (uint32_t i = 0; i < n; i += 3) {
			ASSERT_EQ(Add(Make(i, n)), 0);
			want.push_back(Make(i, n));
		}
		EXPECT_EQ(Dump(1000), want) << n;
		EXPECT_EQ(atomic_read(&num_block_hash), (int)n);
		clear_block_hash();
	}
}

TEST_F(BlockHash, MissesAreCounted)
{
	u64 before = count_exist_block_hash_read();
	Has(Make(1));
	Has(Make(2));
	ASSERT_EQ(Add(Make(3)), 0);
	Has(Make(3));
	EXPECT_EQ(count_exist_block_hash_read() - before, 2u);
}

TEST_F(BlockHash, DumpInInsertionOrder)
{
	std::vector<Digest> in;
	for (uint32_t i = 0; i < 5000; i++) {
		in.push_back(Make(5000 - i));
		ASSERT_EQ(Add(in.back()), 0);
	}
	for (size_t chunk : { 1, 7, 4999, 5000, 100000 })
		EXPECT_EQ(Dump(chunk), in) << "chunk " << chunk;
}

TEST_F(BlockHash, CursorSurvivesDeleteOfSavedEntry)
{
	for (uint32_t i = 0; i < 10; i++)
		ASSERT_EQ(Add(Make(i)), 0);
	block_hash_cursor c{};
	loff_t pos = 0;
	rcu_read_lock();
	hash_sha1_node *n = block_hash_cursor_start(&c, 0);
	for (int i = 0; i < 3; i++)
		n = block_hash_cursor_next(&c, n, &pos);
	rcu_read_unlock();
	ASSERT_EQ(pos, 3);
	// The cursor holds entry 2; delete it and let its memory go.
	ASSERT_EQ(Del(Make(2)), 0);
	rcu_barrier();
	rcu_read_lock();
	n = block_hash_cursor_start(&c, pos);
	ASSERT_NE(n, nullptr);
	// Resumes with the digest after the deleted one, none skipped.
	EXPECT_EQ(memcmp(n->digest, Make(3).data(), 20), 0);
	rcu_read_unlock();
}

TEST_F(BlockHash, CursorSurvivesClear)
{
	for (uint32_t i = 0; i < 10; i++)
		ASSERT_EQ(Add(Make(i)), 0);
	block_hash_cursor c{};
	loff_t pos = 0;
	rcu_read_lock();
	hash_sha1_node *n = block_hash_cursor_start(&c, 0);
	n = block_hash_cursor_next(&c, n, &pos);
	rcu_read_unlock();
	clear_block_hash();
	ASSERT_EQ(Add(Make(100)), 0);
	rcu_read_lock();
	EXPECT_EQ(block_hash_cursor_start(&c, pos), nullptr);
	n = block_hash_cursor_start(&c, 0);
	ASSERT_NE(n, nullptr);
	EXPECT_EQ(memcmp(n->digest, Make(100).data(), 20), 0);
	rcu_read_unlock();
}

TEST_F(BlockHash, ReaderInClearedStoreEnds)
{
	for (uint32_t i = 0; i < 100; i++)
		ASSERT_EQ(Add(Make(i)), 0);
	rcu_read_lock();
	loff_t pos = 0;
	block_hash_cursor c{};
	hash_sha1_node *n = block_hash_cursor_start(&c, 0);
	for (int i = 0; i < 50; i++)
		n = block_hash_cursor_next(&c, n, &pos);
	std::thread t([] {
		rcu_register_thread();
		clear_block_hash_nowait();
		rcu_unregister_thread();
	});
	t.join();
	ASSERT_EQ(Add(Make(1000)), 0);
	// The walk finishes the old digests; it may not reach the new one.
	int steps = 0;
	while (n && steps <= 200) {
		n = block_hash_cursor_next(&c, n, &pos);
		steps++;
	}
	rcu_read_unlock();
	EXPECT_EQ(n, nullptr);
	EXPECT_LE(steps, 51);
}

TEST_F(BlockHash, LookupsRaceClears)
{
	std::atomic<bool> stop{ false };
	std::vector<std::thread> readers;
	for (int r = 0; r < 3; r++) {
		readers.emplace_back([&, r] {
			rcu_register_thread();
			block_hash_cursor c{};
			while (!stop.load()) {
				for (uint32_t i = 0; i < 200; i++)
					exist_block_hash(Make(i).data(), 20);
				loff_t pos = r;
				rcu_read_lock();
				hash_sha1_node *n = block_hash_cursor_start(&c, pos);
				for (int k = 0; n && k < 64; k++)
					n = block_hash_cursor_next(&c, n, &pos);
				rcu_read_unlock();
			}
			rcu_unregister_thread();
		});
	}
	for (int round = 0; round < 100; round++) {
		for (uint32_t i = 0; i < 2000; i++)
			ASSERT_EQ(Add(Make(i)), 0);
		for (uint32_t i = 0; i < 2000; i += 7)
			ASSERT_EQ(Del(Make(i)), 0);
		if (round % 2)
			clear_block_hash();
		else
			clear_block_hash_nowait();
	}
	stop = true;
	for (auto &t : readers)
		t.join();
}

// Each script: operations on Make(n) with their results, then the dump.
TEST_F(BlockHash, Scripts)
{
	struct Op {
		char op;	// a)dd d)elete c)lear
		uint32_t n;
		int want;
	};
	struct Case {
		const char *name;
		std::vector<Op> ops;
		std::vector<uint32_t> dump;
	} cases[] = {
		{ "duplicate keeps its place", { { 'a', 1, 0 }, { 'a', 2, 0 }, { 'a', 1, 0 } }, { 1, 2 } },
		{ "re-add goes last", { { 'a', 1, 0 }, { 'a', 2, 0 }, { 'a', 3, 0 }, { 'd', 2, 0 }, { 'a', 2, 0 } }, { 1, 3, 2 } },
		{ "absent delete", { { 'a', 1, 0 }, { 'd', 2, -ENOENT }, { 'd', 1, 0 }, { 'd', 1, -ENOENT } }, {} },
		{ "delete on empty", { { 'd', 1, -ENOENT } }, {} },
		{ "clear then add", { { 'a', 1, 0 }, { 'a', 2, 0 }, { 'c', 0, 0 }, { 'a', 3, 0 }, { 'a', 1, 0 } }, { 3, 1 } },
		{ "all deleted then clear", { { 'a', 1, 0 }, { 'd', 1, 0 }, { 'c', 0, 0 }, { 'c', 0, 0 } }, {} },
	};
	for (const Case &c : cases) {
		for (const Op &op : c.ops) {
			int got = op.op == 'a' ? Add(Make(op.n)) :
				  op.op == 'd' ? Del(Make(op.n)) : clear_block_hash();
			EXPECT_EQ(got, op.want) << c.name << ": " << op.op << op.n;
		}
		std::vector<Digest> want;
		for (uint32_t n : c.dump)
			want.push_back(Make(n));
		EXPECT_EQ(Dump(2), want) << c.name;
		EXPECT_EQ(atomic_read(&num_block_hash), (int)want.size()) << c.name;
		clear_block_hash();
	}
}

// A failed allocation at the first add, at the table's growth and at a
// new chunk leaves the store as it was and usable.
TEST_F(BlockHash, AllocationFailureAtEachStep)
{
	for (uint32_t size : { 0u, 768u, 1600u }) {
		for (int fail_in : { 1, 2, 3, 4 }) {
			for (uint32_t i = 0; i < size; i++)
				ASSERT_EQ(Add(Make(i)), 0);
			shim_fail_alloc_in = fail_in;
			int got = Add(Make(size));
			shim_fail_alloc_in = 0;
			ASSERT_TRUE(got == 0 || got == -ENOMEM) << got;
			EXPECT_EQ(Has(Make(size)), got == 0) << size << "/" << fail_in;
			EXPECT_EQ(atomic_read(&num_block_hash), (int)size + (got == 0));
			if (size)
				EXPECT_EQ(Has(Make(size - 1)), 1);
			EXPECT_EQ(Add(Make(size)), 0);
			EXPECT_EQ(Dump(5000).size(), size + 1u);
			clear_block_hash();
		}
	}
}

// Lookups never miss a digest that stays, nor find one never added,
// while the table grows and is rebuilt around them.
TEST_F(BlockHash, LookupsRaceGrowth)
{
	for (uint32_t i = 0; i < 100; i++)
		ASSERT_EQ(Add(Make(i, 1)), 0);
	std::atomic<bool> stop{ false };
	std::atomic<long> wrong{ 0 };
	std::vector<std::thread> readers;
	for (int r = 0; r < 3; r++) {
		readers.emplace_back([&] {
			rcu_register_thread();
			while (!stop.load())
				for (uint32_t i = 0; i < 100; i++)
					wrong += !Has(Make(i, 1)) + Has(Make(i, 2));
			rcu_unregister_thread();
		});
	}
	for (uint32_t i = 0; i < 300000; i++) {
		ASSERT_EQ(Add(Make(i, 3)), 0);
		if (i % 2)
			ASSERT_EQ(Del(Make(i - 1, 3)), 0);
	}
	stop = true;
	for (auto &t : readers)
		t.join();
	EXPECT_EQ(wrong.load(), 0);
}

// Slots are not reused: churn through more of them than one store has,
// with few digests stored, and the store still holds them in order.
TEST_F(BlockHash, ChurnBeyondSlotCount)
{
	const uint32_t keep = 1000, total = (1u << 24) + 5000;
	for (uint32_t i = 0; i < total; i++) {
		ASSERT_EQ(Add(Make(i)), 0) << i;
		if (i >= keep)
			ASSERT_EQ(Del(Make(i - keep)), 0) << i;
	}
	std::vector<Digest> want;
	for (uint32_t i = total - keep; i < total; i++)
		want.push_back(Make(i));
	EXPECT_EQ(Dump(333), want);
	EXPECT_EQ(Has(Make(total - keep - 1)), 0);
}

TEST_F(BlockHash, FullAtTenMillion)
{
	for (uint32_t i = 0; i < BLOCK_HASH_MAX; i++)
		ASSERT_EQ(Add(Make(i, 0x5a5a5a5a)), 0) << i;
	EXPECT_EQ(atomic_read(&num_block_hash), BLOCK_HASH_MAX);
	EXPECT_EQ(Add(Make(BLOCK_HASH_MAX, 1)), -ENOSPC);
	EXPECT_EQ(Has(Make(123456, 0x5a5a5a5a)), 1);
	// Still full for known digests; room again after one delete.
	ASSERT_EQ(Del(Make(0, 0x5a5a5a5a)), 0);
	EXPECT_EQ(Add(Make(BLOCK_HASH_MAX, 1)), 0);
}

} // namespace
