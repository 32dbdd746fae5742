// The keyed set under the rule and process lists: its own contract, and
// lookups racing writers through growth, deletes and clears.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kshim.h"

extern "C" {
#include "keyed_set.h"
}

namespace {

struct Item {
	zt_set_node node;
	int key;
};

bool ItemEq(const zt_set_node *n, const void *key)
{
	return reinterpret_cast<const Item *>(n)->key == *static_cast<const int *>(key);
}

// Few distinct hashes, so chains hold several keys that hash alike.
u32 HashOf(int key)
{
	return key % 97;
}

class KeyedSet : public testing::Test {
public:
	atomic_t count = ATOMIC_INIT(0);
	zt_set set{};

	void SetUp() override
	{
		INIT_LIST_HEAD(&set.order);
		pthread_mutex_init(&set.lock.m, nullptr);
		set.count = &count;
	}
	void TearDown() override
	{
		shim_fatal_signal = false;
		shim_fail_alloc_in = 0;
		zt_set_exit(&set);
		rcu_barrier();
	}

	int Add(int key)
	{
		Item *e = static_cast<Item *>(kzalloc(sizeof(Item), GFP_KERNEL));
		if (!e)
			return -ENOMEM;
		e->key = key;
		int ret = zt_set_add(&set, &e->node, HashOf(key), ItemEq, &key);
		if (ret <= 0)
			kfree(e);
		return ret;
	}
	int Remove(int key) { return zt_set_remove(&set, HashOf(key), ItemEq, &key); }
	bool Has(int key) { return zt_set_contains(&set, HashOf(key), ItemEq, &key); }
	std::vector<int> Order()
	{
		std::vector<int> keys;
		zt_set_node *n;
		zt_set_lock_always(&set);
		zt_set_for_each(n, &set)
			keys.push_back(reinterpret_cast<Item *>(n)->key);
		zt_set_unlock(&set);
		return keys;
	}
};

TEST_F(KeyedSet, Contract)
{
	struct Step {
		const char *what;
		int (KeyedSet::*op)(int);
		int key, ret, count;
		bool fatal;
	} steps[] = {
		{ "add", &KeyedSet::Add, 1, 1, 1, false },
		{ "duplicate add", &KeyedSet::Add, 1, 0, 1, false },
		{ "add alike hash", &KeyedSet::Add, 98, 1, 2, false },
		{ "add", &KeyedSet::Add, 2, 1, 3, false },
		{ "absent remove", &KeyedSet::Remove, 3, 0, 3, false },
		{ "remove", &KeyedSet::Remove, 98, 1, 2, false },
		{ "killed writer", &KeyedSet::Add, 4, -EINTR, 2, true },
		{ "killed remover", &KeyedSet::Remove, 1, -EINTR, 2, true },
	};
	for (const Step &s : steps) {
		shim_fatal_signal = s.fatal;
		EXPECT_EQ((this->*s.op)(s.key), s.ret) << s.what;
		shim_fatal_signal = false;
		EXPECT_EQ(atomic_read(&count), s.count) << s.what;
	}
	EXPECT_EQ(Order(), (std::vector<int>{ 2, 1 })) << "newest first";
	EXPECT_TRUE(Has(1));
	EXPECT_FALSE(Has(98));
	EXPECT_EQ(zt_set_clear(&set), 0);
	EXPECT_FALSE(Has(1));
	EXPECT_EQ(atomic_read(&count), 0);
	EXPECT_EQ(Add(1), 1) << "usable after a clear";
}

TEST_F(KeyedSet, AllocationFailures)
{
	shim_fail_alloc_in = 2; // the first table, after the element
	EXPECT_EQ(Add(1), -ENOMEM);
	EXPECT_EQ(atomic_read(&count), 0);
	EXPECT_FALSE(Has(1));
	for (int k = 0; k < 16; k++)
		ASSERT_EQ(Add(k), 1);
	shim_fail_alloc_in = 2; // the doubled table: the set keeps its own
	ASSERT_EQ(Add(16), 1);
	for (int k = 0; k <= 16; k++)
		EXPECT_TRUE(Has(k)) << k;
}

// Keys below kStable stay while the rest churn through growth and
// removes: a lookup of one must never miss. Then whole clears race the
// lookups. No lookup may touch freed memory (ASan).
TEST_F(KeyedSet, LookupsRaceWriters)
{
	constexpr int kStable = 64;
	for (int k = 0; k < kStable; k++)
		ASSERT_EQ(Add(k), 1);
	std::atomic<bool> stop{ false }, clearing{ false };
	std::atomic<long> misses{ 0 };
	std::vector<std::thread> readers;
	for (int r = 0; r < 3; r++) {
		readers.emplace_back([&] {
			rcu_register_thread();
			while (!stop.load()) {
				for (int k = 0; k < kStable; k++)
					if (!Has(k) && !clearing.load())
						misses++;
			}
			rcu_unregister_thread();
		});
	}
	for (int round = 0; round < 20; round++) {
		for (int k = kStable; k < kStable + 3000; k++)
			ASSERT_EQ(Add(k), 1);
		for (int k = kStable; k < kStable + 3000; k++)
			ASSERT_EQ(Remove(k), 1);
	}
	EXPECT_EQ(atomic_read(&count), kStable);
	clearing = true;
	for (int round = 0; round < 20; round++) {
		for (int k = 0; k < 1000; k++)
			ASSERT_GE(Add(k), 0);
		ASSERT_EQ(zt_set_clear(&set), 0);
	}
	stop = true;
	for (std::thread &t : readers)
		t.join();
	EXPECT_EQ(misses.load(), 0);
}

} // namespace
