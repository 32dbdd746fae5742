// A fixture that leaves every list and the store empty after each test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "kmod.h"

class Lists : public testing::Test {
protected:
	void SetUp() override { ASSERT_EQ(block_hash_init(), 0); }
	void TearDown() override
	{
		shim_fatal_signal = false;
		shim_fail_alloc_in = 0;
		rule_lists_exit();
		atomic_set(&num_mem_block_prog, 0);
		block_hash_exit();
	}

	static std::string Dump(int (*dump)(char *, int), int size = 1 << 16)
	{
		std::string buf(size, '\xff');
		int n = dump(buf.data(), size);
		if (n < 0)
			return "(err " + std::to_string(n) + ")";
		EXPECT_EQ(buf[n], '\0');
		return buf.substr(0, n);
	}
};
