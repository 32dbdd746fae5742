/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Statistics counted per CPU: each count is one unlocked increment on the
 * CPU at hand, so no cache line bounces between CPUs, and a reading is
 * the sum over all of them (which a count in flight may just miss).
 */
#ifndef ZENTROPE_STATS_H
#define ZENTROPE_STATS_H

#include <linux/types.h>
#include <linux/percpu.h>

#define zt_stat_sum(var)						\
({									\
	u64 __sum = 0;							\
	int __cpu;							\
									\
	for_each_possible_cpu(__cpu)					\
		__sum += READ_ONCE(per_cpu(var, __cpu));		\
	__sum;								\
})

/* A count made during the reset may survive it. */
#define zt_stat_reset(var)						\
do {									\
	int __cpu;							\
									\
	for_each_possible_cpu(__cpu)					\
		WRITE_ONCE(per_cpu(var, __cpu), 0);			\
} while (0)

/*
 * Counts one on this CPU; true at every @every-th count there, where a
 * debug line may afford the sums.
 */
#define zt_stat_inc_every(var, every) (this_cpu_inc_return(var) % (every) == 0)

/*
 * A statistic as its control file shows it: the sum on a read, and any
 * write resets it.
 */
struct zt_stat_file {
	u64 (*read)(void);
	void (*reset)(void);
};

#endif /* ZENTROPE_STATS_H */
