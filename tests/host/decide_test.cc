// Program decisions over real lists: the strict verdict's identity and name
// steps, the network verdict of a recorded process, and the process records
// those verdicts read.
#include "lists_fixture.h"

#include <vector>

namespace {

class Decide : public Lists {
protected:
	void TearDown() override
	{
		proc_lists_exit();
		Lists::TearDown();
	}
	// A block_prog entry for an existing host file carries its identity.
	static void Identity(const char *path, u32 *dev, u64 *ino)
	{
		ASSERT_EQ(zt_path_identity(path, dev, ino), 0);
	}
};

TEST_F(Decide, StrictIdentityThenNames)
{
	u32 dev;
	u64 ino;
	Identity("/", &dev, &ino);
	char root[] = "/";
	ASSERT_EQ(add_block_prog(root, 1), 0);
	ASSERT_EQ(update_block_prog("tool"), 0);
	struct Row {
		bool have_file;
		u32 dev;
		u64 ino;
		const char *path;
		bool fatal;
		int verdict;
	} rows[] = {
		{ true, dev, ino, "/renamed", false, STRICT_BLOCK_INFO },
		{ false, dev, ino, "/renamed", false, STRICT_BLOCK_NONE },
		{ true, dev, ino + 1, "/", false, STRICT_BLOCK_NAME },
		{ false, 0, 0, "/usr/bin/tool", false, STRICT_BLOCK_NAME },
		{ false, 0, 0, "tool", false, STRICT_BLOCK_NAME },
		{ false, 0, 0, "/usr/bin/tool2", false, STRICT_BLOCK_NONE },
		{ false, 0, 0, "/usr/bin/", false, STRICT_BLOCK_NONE },
		{ true, dev, ino, nullptr, false, STRICT_BLOCK_INFO },
		{ true, 1, 2, nullptr, false, STRICT_BLOCK_NONE },
		// Lookups take no lock: a fatal signal changes no verdict.
		{ true, dev, ino, "tool", true, STRICT_BLOCK_INFO },
	};
	for (const Row &r : rows) {
		shim_fatal_signal = r.fatal;
		EXPECT_EQ(strict_identity_name_verdict(r.have_file, r.dev, r.ino,
						       r.path), r.verdict)
			<< (r.path ? r.path : "(null)") << " file " << r.have_file;
		shim_fatal_signal = false;
	}
}

TEST_F(Decide, FilterProgVerdicts)
{
	u32 sh_dev;
	u64 sh_ino;
	Identity("/", &sh_dev, &sh_ino);
	const u8 digest[SHA1_DIGEST_LEN] = { 1 };
	prog_info_struct info{};
	ASSERT_EQ(update_block_prog("/usr/bin/nc"), 0);
	ASSERT_EQ(update_block_prog("nc"), 0);
	ASSERT_EQ(update_block_prog("/bin/sh"), 0);
	ASSERT_EQ(update_interp_prog("/"), 0);	      // by identity
	ASSERT_EQ(update_interp_prog("/bin/sh"), 0);  // by path
	update_interp_opened_block_prog_list(7);
	struct Row {
		const char *what;
		filter_input in;
		bool refused;
	} rows[] = {
		{ "identity rule", { &info, 0, nullptr, 0, 0, nullptr, 0, nullptr, 0, 1 }, true },
		{ "listed digest", { nullptr, 1, digest, 0, 0, "/x", 2, "x", 1, 1 }, true },
		{ "hit without digest", { nullptr, 1, nullptr, 0, 0, "/x", 2, "x", 1, 1 }, false },
		{ "nothing known", { nullptr, 0, nullptr, 0, 0, "/usr/bin/nc", 0, "nc", 0, 1 }, false },
		{ "path", { nullptr, 0, digest, 0, 0, "/usr/bin/nc", 11, "z", 1, 1 }, true },
		{ "path of length 0", { nullptr, 0, digest, 0, 0, "/usr/bin/nc", 0, nullptr, 0, 1 }, true },
		{ "short name", { nullptr, 0, nullptr, 0, 0, "/opt/nc", 7, "nc", 2, 1 }, true },
		{ "unlisted", { nullptr, 0, digest, 0, 0, "/bin/ls", 7, "ls", 2, 1 }, false },
		{ "interp by path", { nullptr, 0, digest, 0, 0, "/bin/sh", 7, "nc", 2, 1 }, false },
		{ "interp by identity", { nullptr, 0, digest, sh_dev, sh_ino, "/usr/bin/nc", 11, "nc", 2, 1 }, false },
		{ "marked interp", { nullptr, 0, digest, 0, 0, "/bin/sh", 7, "sh", 2, 7 }, true },
		{ "marked pid, not interp", { nullptr, 0, digest, 0, 0, "/bin/ls", 7, "ls", 2, 7 }, false },
		{ "interp, pid 0", { nullptr, 0, digest, 0, 0, "/bin/sh", 7, "sh", 2, 0 }, false },
	};
	for (const Row &r : rows)
		EXPECT_EQ(filter_prog_decide(&r.in), r.refused) << r.what;

	// With no interpreter listed the interpreter's own path is a name rule.
	ASSERT_EQ(clear_interp_prog(), 0);
	EXPECT_TRUE(filter_prog_decide(&rows[8].in));
}

TEST_F(Decide, ProcessRecords)
{
	u8 d[24];
	memset(d, 0xab, sizeof(d));
	EXPECT_EQ(update_pid_prog_pair_list(5, "/bin/a", d, 24, 1, 2), 0);
	EXPECT_EQ(update_pid_prog_pair_list(5, "/bin/bb", nullptr, 0, 3, 4), 0);
	EXPECT_EQ(update_pid_prog_pair_list(6, "/bin/c", d, 20, 0, 0), 0);
	EXPECT_EQ(update_pid_prog_pair_list(6, "", d, 20, 0, 0), -1);
	EXPECT_EQ(update_pid_prog_pair_list(0, "/x", d, 20, 0, 0), -EINVAL);
	EXPECT_EQ(atomic_read(&num_pid_prog_pair_list), 2);
	pid_prog_pair *e = find_pid_prog_pair(&pid_prog_pair_list, 5);
	ASSERT_NE(e, nullptr);
	EXPECT_STREQ(e->name, "/bin/bb");
	EXPECT_EQ(e->digest_len, 0);
	EXPECT_EQ(e->ino, 4u);
	e = find_pid_prog_pair(&pid_prog_pair_list, 6);
	ASSERT_NE(e, nullptr);
	EXPECT_EQ(e->digest_len, 20);

	// A replacement that cannot be allocated leaves no record, counted.
	shim_fail_alloc_in = 1;
	EXPECT_EQ(update_pid_prog_pair_list(6, "/bin/d", d, 20, 0, 0), -ENOMEM);
	EXPECT_EQ(find_pid_prog_pair(&pid_prog_pair_list, 6), nullptr);
	EXPECT_EQ(atomic_read(&num_pid_prog_pair_list), 1);

	// Interrupted writers change nothing; the exit path does not wait killably.
	ASSERT_EQ(update_pid_prog_pair_short_list(5, "bb"), 0);
	update_interp_opened_block_prog_list(5);
	shim_fatal_signal = true;
	EXPECT_EQ(update_pid_prog_pair_list(9, "/bin/e", d, 20, 0, 0), -EINTR);
	EXPECT_EQ(delete_pid_prog_pair_list(5), -EINTR);
	EXPECT_TRUE(exist_interp_prog_opened_block_prog(5)) << "lookups never wait";
	proc_lists_drop(5);
	shim_fatal_signal = false;
	EXPECT_EQ(atomic_read(&num_pid_prog_pair_list), 0);
	EXPECT_EQ(atomic_read(&num_pid_prog_pair_short_list), 0);
	EXPECT_EQ(atomic_read(&num_interp_prog_opened_block_prog_list), 0);
	EXPECT_EQ(delete_pid_prog_pair_list(5), 0);
	EXPECT_EQ(delete_interp_prog_opened_block_prog_list(0), -1);

	// A child takes its parent's records, marks included, replacing stale
	// ones of its pid, whatever signals are pending; a failed copy leaves
	// the parent's as they were.
	ASSERT_EQ(update_pid_prog_pair_list(7, "/bin/p", d, 20, 1, 2), 0);
	ASSERT_EQ(update_pid_prog_pair_list(8, "/stale", nullptr, 0, 0, 0), 0);
	update_interp_opened_block_prog_list(7);
	shim_fatal_signal = true;
	proc_lists_fork(7, 8);
	shim_fatal_signal = false;
	e = find_pid_prog_pair(&pid_prog_pair_list, 8);
	ASSERT_NE(e, nullptr);
	EXPECT_STREQ(e->name, "/bin/p");
	EXPECT_EQ(e->digest_len, 20);
	EXPECT_EQ(e->ino, 2u);
	EXPECT_TRUE(exist_interp_prog_opened_block_prog(8));
	EXPECT_EQ(atomic_read(&num_pid_prog_pair_list), 2);
	shim_fail_alloc_in = 1;
	proc_lists_fork(7, 9);
	EXPECT_EQ(find_pid_prog_pair(&pid_prog_pair_list, 9), nullptr);
	EXPECT_NE(find_pid_prog_pair(&pid_prog_pair_list, 7), nullptr);
	proc_lists_fork(5, 10);
	EXPECT_EQ(find_pid_prog_pair(&pid_prog_pair_list, 10), nullptr) << "no parent record";
	for (int pid : { 7, 8, 9 })
		proc_lists_drop(pid);
	EXPECT_EQ(atomic_read(&num_pid_prog_pair_list), 0);

	// Open marks: one per (pid, file), removed whatever signals are pending.
	int file;
	interp_open_flag m{};
	m.pid = 3;
	m.file = &file;
	EXPECT_EQ(update_flag_interp_prog_opened_block_prog_list(&m), 0);
	EXPECT_EQ(update_flag_interp_prog_opened_block_prog_list(&m), 0);
	EXPECT_TRUE(exist_flag_interp_prog_opened_block_prog(&m));
	EXPECT_EQ(atomic_read(&num_flag_interp_prog_opened_block_prog_list), 1);
	shim_fatal_signal = true;
	delete_flag_interp_prog_opened_block_prog_list(&m);
	shim_fatal_signal = false;
	EXPECT_EQ(atomic_read(&num_flag_interp_prog_opened_block_prog_list), 0);
}

} // namespace
