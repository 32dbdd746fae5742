// SPDX-License-Identifier: GPL-2.0
/*
 * Test-only module: drives the file hashing and mark code from user space
 * through debugfs, for the VM tests. Built with `make ZT_TEST=1` from the
 * same sources as zentrope.ko, compiled into this one unit; it must not be
 * loaded together with zentrope.ko.
 *
 * /sys/kernel/debug/zt_hashtest/
 *   run    write one command, then read its answer on the same open file:
 *            "hash PATH"    -> "<get_file_hash hex|-> <from_mark 0|1>
 *                               <calc_file_hash hex|->"
 *            "wronly PATH"  -> calc_file_hash of PATH opened write-only
 *            "ahash PATH", "shash PATH" -> "<error> <hex|->" of that
 *                              transform path alone, no fallback
 *            "name PATH"    -> "<get_filename_hash hex|-> <from_mark>"
 *            "verdict PATH" -> "<verdict> <digest hex|-> <from_mark>"
 *            "add HEX", "del HEX", "clear" -> "<error> <num_block_hash>"
 *   stats  the counters, one "name value" per line
 *   hash_max_filesize  read/write, like the control file of that name
 * The module parameter ahash_minsize turns on the asynchronous path.
 */
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/debugfs.h>
#include <linux/seq_file.h>
#include <linux/fs.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/uaccess.h>

#include "../mark_codec.c"
#include "../xattr_mark.c"
#include "../ima_crypto.c"
#include "../file_verdict.c"
#include "../block_hash.c"
#include "../utils.c"

module_param_named(ahash_minsize, ima_ahash_minsize, ulong, 0644);
MODULE_PARM_DESC(ahash_minsize, "Minimum file size for ahash use");

#define RUN_IN_MAX 4096
#define RUN_OUT_MAX 256

static struct dentry *zt_dir;

struct run_state {
	char out[RUN_OUT_MAX];
	size_t len;
};

static void put_hex(char *dst, size_t size, const u8 *digest, int n)
{
	if (n <= 0)
		strscpy(dst, "-", size);
	else
		translate_hash_hex(dst, size, digest, n);
}

static struct file *open_path(const char *path, int flags)
{
	struct file *f = filp_open(path, flags | O_NONBLOCK | O_NOCTTY, 0);

	return IS_ERR(f) ? NULL : f;
}

static int cmd_hash(struct run_state *st, const char *path)
{
	char get_hex[SHA1_HEX_LEN + 1], calc_hex[SHA1_HEX_LEN + 1];
	u8 got[SHA1_DIGEST_LEN], calc[SHA1_DIGEST_LEN];
	struct file *f = open_path(path, O_RDONLY);
	int hashed = 0, n_get, n_calc;

	if (!f)
		return -ENOENT;
	n_get = get_file_hash(f, got, sizeof(got), &hashed);
	n_calc = calc_file_hash(f, calc, sizeof(calc));
	filp_close(f, NULL);
	put_hex(get_hex, sizeof(get_hex), got, n_get);
	put_hex(calc_hex, sizeof(calc_hex), calc, n_calc);
	st->len = scnprintf(st->out, sizeof(st->out), "%s %d %s\n", get_hex,
			    hashed, calc_hex);
	return 0;
}

static int cmd_wronly(struct run_state *st, const char *path)
{
	char hex[SHA1_HEX_LEN + 1];
	u8 calc[SHA1_DIGEST_LEN];
	struct file *f = open_path(path, O_WRONLY);
	int n;

	if (!f)
		return -ENOENT;
	n = calc_file_hash(f, calc, sizeof(calc));
	filp_close(f, NULL);
	put_hex(hex, sizeof(hex), calc, n);
	st->len = scnprintf(st->out, sizeof(st->out), "%s\n", hex);
	return 0;
}

/* One transform path alone, without the fallback: "<rc> <hex|->". */
static int cmd_path(struct run_state *st, const char *path, bool async)
{
	struct zt_digest hash = { .length = SHA1_DIGEST_LEN };
	char hex[SHA1_HEX_LEN + 1];
	struct file *f = open_path(path, O_RDONLY);
	loff_t size;
	int rc;

	if (!f)
		return -ENOENT;
	size = i_size_read(file_inode(f));
	if (async)
		rc = hash_file_ahash(f, size, &hash);
	else
		rc = hash_file_shash(f, size, &hash);
	filp_close(f, NULL);
	put_hex(hex, sizeof(hex), hash.digest, rc ? 0 : SHA1_DIGEST_LEN);
	st->len = scnprintf(st->out, sizeof(st->out), "%d %s\n", rc, hex);
	return 0;
}

static int cmd_name(struct run_state *st, const char *path)
{
	char hex[SHA1_HEX_LEN + 1];
	u8 got[SHA1_DIGEST_LEN];
	int hashed = 0, n;

	n = get_filename_hash(path, NULL, got, sizeof(got), &hashed);
	put_hex(hex, sizeof(hex), got, n);
	st->len = scnprintf(st->out, sizeof(st->out), "%s %d\n", hex, hashed);
	return 0;
}

static int cmd_verdict(struct run_state *st, const char *path)
{
	char hex[SHA1_HEX_LEN + 1];
	u8 got[SHA1_DIGEST_LEN] = {};
	struct file *f = open_path(path, O_RDONLY);
	int hashed = 0, len = sizeof(got), verdict;

	if (!f)
		return -ENOENT;
	verdict = file_exist_block_hash_and_get(f, got, &len, &hashed);
	filp_close(f, NULL);
	/* No digest handed out leaves @got zero. */
	put_hex(hex, sizeof(hex), got, buf_is_zero(got, len) ? 0 : len);
	st->len = scnprintf(st->out, sizeof(st->out), "%d %s %d\n", verdict,
			    hex, hashed);
	return 0;
}

static int cmd_store(struct run_state *st, const char *op, const char *arg)
{
	u8 digest[SHA1_DIGEST_LEN];
	int rc;

	if (!strcmp(op, "clear")) {
		rc = clear_block_hash();
	} else if (strlen(arg) != SHA1_HEX_LEN ||
		   translate_hash_bin(digest, sizeof(digest), arg,
				      SHA1_HEX_LEN) != SHA1_DIGEST_LEN) {
		return -EINVAL;
	} else if (!strcmp(op, "add")) {
		rc = update_block_hash(digest, sizeof(digest));
	} else {
		rc = delete_block_hash(digest, sizeof(digest));
	}
	st->len = scnprintf(st->out, sizeof(st->out), "%d %d\n", rc,
			    atomic_read(&num_block_hash));
	return 0;
}

static int run_command(struct run_state *st, char *line)
{
	char *arg = strchr(line, ' ');

	if (arg)
		*arg++ = '\0';
	else
		arg = "";
	if (!strcmp(line, "clear"))
		return cmd_store(st, line, arg);
	if (!*arg)
		return -EINVAL;
	if (!strcmp(line, "hash"))
		return cmd_hash(st, arg);
	if (!strcmp(line, "wronly"))
		return cmd_wronly(st, arg);
	if (!strcmp(line, "ahash") || !strcmp(line, "shash"))
		return cmd_path(st, arg, line[0] == 'a');
	if (!strcmp(line, "name"))
		return cmd_name(st, arg);
	if (!strcmp(line, "verdict"))
		return cmd_verdict(st, arg);
	if (!strcmp(line, "add") || !strcmp(line, "del"))
		return cmd_store(st, line, arg);
	return -EINVAL;
}

static int run_open(struct inode *inode, struct file *file)
{
	file->private_data = kzalloc(sizeof(struct run_state), GFP_KERNEL);
	return file->private_data ? 0 : -ENOMEM;
}

static int run_release(struct inode *inode, struct file *file)
{
	kfree(file->private_data);
	return 0;
}

static ssize_t run_write(struct file *file, const char __user *ubuf,
			 size_t count, loff_t *ppos)
{
	struct run_state *st = file->private_data;
	char *line;
	int rc;

	if (!count || count >= RUN_IN_MAX)
		return -EINVAL;
	line = memdup_user_nul(ubuf, count);
	if (IS_ERR(line))
		return PTR_ERR(line);
	st->len = 0;
	rc = run_command(st, strim(line));
	kfree(line);
	return rc ? rc : (ssize_t)count;
}

static ssize_t run_read(struct file *file, char __user *ubuf, size_t count,
			loff_t *ppos)
{
	struct run_state *st = file->private_data;

	return simple_read_from_buffer(ubuf, count, ppos, st->out, st->len);
}

static const struct file_operations run_fops = {
	.owner = THIS_MODULE,
	.open = run_open,
	.release = run_release,
	.write = run_write,
	.read = run_read,
	.llseek = default_llseek,
};

static int stats_show(struct seq_file *m, void *v)
{
	seq_printf(m, "count_cal_file_hash %llu\n", count_cal_file_hash_read());
	seq_printf(m, "count_get_file_hash_from_xattr %llu\n",
		   count_get_file_hash_from_xattr_read());
	seq_printf(m, "count_exist_block_hash_from_xattr %llu\n",
		   count_exist_block_hash_from_xattr_read());
	seq_printf(m, "count_exist_block_hash %llu\n",
		   count_exist_block_hash_read());
	seq_printf(m, "num_lost_hash %lld\n",
		   (long long)hash_lost_stat.read());
	seq_printf(m, "num_block_hash %d\n", atomic_read(&num_block_hash));
	return 0;
}
DEFINE_SHOW_ATTRIBUTE(stats);

static int maxsize_get(void *data, u64 *val)
{
	*val = READ_ONCE(ima_hash_maxsize);
	return 0;
}

static int maxsize_set(void *data, u64 val)
{
	if (val > S64_MAX)
		return -EINVAL;
	WRITE_ONCE(ima_hash_maxsize, val);
	return 0;
}
DEFINE_DEBUGFS_ATTRIBUTE(maxsize_fops, maxsize_get, maxsize_set, "%llu\n");

static int __init zt_hashtest_init(void)
{
	int rc;

	rc = block_hash_init();
	if (rc)
		return rc;
	rc = zentrope_init_ima_crypto();
	if (rc) {
		block_hash_exit();
		return rc;
	}
	zt_dir = debugfs_create_dir("zt_hashtest", NULL);
	debugfs_create_file("run", 0600, zt_dir, NULL, &run_fops);
	debugfs_create_file("stats", 0400, zt_dir, NULL, &stats_fops);
	debugfs_create_file_unsafe("hash_max_filesize", 0600, zt_dir, NULL,
				   &maxsize_fops);
	return 0;
}

static void __exit zt_hashtest_exit(void)
{
	debugfs_remove_recursive(zt_dir);
	zentrope_exit_ima_crypto();
	block_hash_exit();
}

module_init(zt_hashtest_init);
module_exit(zt_hashtest_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Test driver for zentrope file hashing (test builds only)");
