// SPDX-License-Identifier: GPL-2.0
/*
 * /proc/zentrope/: the binary digest feed and its dumps. A write carries
 * any number of raw 20-byte digests; reads return them oldest first.
 */
#include <linux/kernel.h>
#include <linux/proc_fs.h>
#include <linux/seq_file.h>
#include <linux/uaccess.h>
#include <linux/sched.h>
#include <linux/mm.h>
#include <linux/slab.h>

#include "zentrope_proc.h"
#include "block_hash.h"

#define READ_BUF_SIZE 131072
#define WRITE_BATCH 256

static struct proc_dir_entry *parent_proc;
static struct proc_dir_entry *block_hash_proc_text;

static void *block_hash_seq_start(struct seq_file *m, loff_t *pos)
	__acquires(RCU)
{
	rcu_read_lock();
	return block_hash_cursor_start(m->private, *pos);
}

static void *block_hash_seq_next(struct seq_file *m, void *v, loff_t *pos)
{
	return block_hash_cursor_next(m->private, v, pos);
}

static void block_hash_seq_stop(struct seq_file *m, void *v)
	__releases(RCU)
{
	rcu_read_unlock();
}

static int block_hash_bin_show(struct seq_file *m, void *v)
{
	const struct hash_sha1_node *node = v;

	seq_write(m, node->digest, SHA1_DIGEST_LEN);
	return 0;
}

static int block_hash_text_show(struct seq_file *m, void *v)
{
	const struct hash_sha1_node *node = v;
	char text[SHA1_HEX_LEN + 1];

	translate_hash_hex(text, sizeof(text), node->digest, SHA1_DIGEST_LEN);
	seq_write(m, text, SHA1_HEX_LEN);
	seq_putc(m, '\n');
	return 0;
}

static const struct seq_operations block_hash_bin_sops = {
	.start = block_hash_seq_start,
	.next = block_hash_seq_next,
	.stop = block_hash_seq_stop,
	.show = block_hash_bin_show,
};

static const struct seq_operations block_hash_text_sops = {
	.start = block_hash_seq_start,
	.next = block_hash_seq_next,
	.stop = block_hash_seq_stop,
	.show = block_hash_text_show,
};

/* A large buffer makes a full read take few lock sections. */
static int block_hash_optimized_open(struct file *file,
				     const struct seq_operations *sops)
{
	struct seq_file *m;
	int ret;

	ret = seq_open_private(file, sops, sizeof(struct block_hash_cursor));
	if (ret)
		return ret;
	m = file->private_data;
	m->buf = kvmalloc(READ_BUF_SIZE, GFP_KERNEL_ACCOUNT);
	if (!m->buf) {
		seq_release_private(file_inode(file), file);
		return -ENOMEM;
	}
	m->size = READ_BUF_SIZE;
	return 0;
}

static int block_hash_bin_open(struct inode *inode, struct file *file)
{
	return block_hash_optimized_open(file, &block_hash_bin_sops);
}

static int block_hash_text_open(struct inode *inode, struct file *file)
{
	return block_hash_optimized_open(file, &block_hash_text_sops);
}

/*
 * Whole records only: a trailing partial record is not consumed, so the
 * caller sees a short write. Records added before a failure stay added.
 * The store lock is taken once per batch copied in, not once per record.
 */
static ssize_t block_hash_bin_write(struct file *file, const char __user *buf,
				    size_t count, loff_t *ppos)
{
	size_t n = count / SHA1_DIGEST_LEN, i = 0, k, left, done;
	u8 *batch;
	int ret = 0;

	if (!n)
		return -EINVAL;
	batch = kmalloc(min_t(size_t, n, WRITE_BATCH) * SHA1_DIGEST_LEN,
			GFP_KERNEL);
	if (!batch)
		return -ENOMEM;
	while (i < n) {
		k = min_t(size_t, n - i, WRITE_BATCH);
		left = copy_from_user(batch, buf + i * SHA1_DIGEST_LEN,
				      k * SHA1_DIGEST_LEN);
		if (left)
			k -= DIV_ROUND_UP(left, SHA1_DIGEST_LEN);
		ret = update_block_hash_many(batch, k, &done);
		i += done;
		if (!ret && left)
			ret = -EFAULT;
		if (ret)
			break;
		cond_resched();
	}
	kfree(batch);
	if (ret)
		return ret;
	*ppos += n * SHA1_DIGEST_LEN;
	return n * SHA1_DIGEST_LEN;
}

static const struct proc_ops block_hash_bin_fops = {
	.proc_open = block_hash_bin_open,
	.proc_read = seq_read,
	.proc_write = block_hash_bin_write,
	.proc_lseek = seq_lseek,
	.proc_release = seq_release_private,
};

static const struct proc_ops block_hash_text_fops = {
	.proc_open = block_hash_text_open,
	.proc_read = seq_read,
	.proc_lseek = seq_lseek,
	.proc_release = seq_release_private,
};

int zentrope_init_proc(void)
{
	parent_proc = proc_mkdir("zentrope", NULL);
	if (!parent_proc)
		return -ENOMEM;
	block_hash_proc_text = proc_create("block_hash_text", 0440, parent_proc,
					   &block_hash_text_fops);
	if (!block_hash_proc_text ||
	    !proc_create("block_hash_bin", 0660, parent_proc,
			 &block_hash_bin_fops)) {
		zentrope_exit_proc();
		return -ENOMEM;
	}
	return 0;
}

/* Waits for file operations in flight before it returns. */
void zentrope_exit_proc(void)
{
	if (!parent_proc)
		return;
	remove_proc_subtree("zentrope", NULL);
	parent_proc = NULL;
	block_hash_proc_text = NULL;
}
