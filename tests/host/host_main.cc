// Host test entry: the main thread reads under RCU, so it registers.
#include <gtest/gtest.h>

#include "kshim.h"

int main(int argc, char **argv)
{
	testing::InitGoogleTest(&argc, argv);
	rcu_register_thread();
	int rc = RUN_ALL_TESTS();
	rcu_barrier();
	rcu_unregister_thread();
	return rc;
}
