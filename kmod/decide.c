// SPDX-License-Identifier: GPL-2.0
/*
 * Program decisions. Lists whose count is 0 are skipped before their lock
 * is taken where the order of checks allows it: these run for processes
 * that no rule names far more often than for listed ones.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/rwsem.h>

#include "decide.h"
#include "proc_lists.h"

/* @alt, when given, is looked for in the same walk. */
static int exist_name(struct list_head *head, struct rw_semaphore *sem,
		      const char *name, const char *alt)
{
	u32 hash = name ? zt_name_hash(name) : 0;
	u32 alt_hash = alt ? zt_name_hash(alt) : 0;
	struct name_struct *e;
	int found = 0;

	if (!name || down_read_killable(sem))
		return 0;
	list_for_each_entry(e, head, list) {
		if ((e->hash == hash && !strcmp(e->name, name)) ||
		    (alt && e->hash == alt_hash && !strcmp(e->name, alt))) {
			found = 1;
			break;
		}
	}
	up_read(sem);
	return found;
}

int exist_block_prog(const char *name)
{
	return exist_name(&head_block_prog, &rwsem_block_prog, name, NULL);
}

int exist_interp_prog(const char *name)
{
	return exist_name(&head_interp_prog, &rwsem_interp_prog, name, NULL);
}

int exist_interp_prog_by_dev_ino(u32 dev, u64 ino)
{
	struct name_struct *e;
	int found = 0;

	if (!dev || !ino || down_read_killable(&rwsem_interp_prog))
		return 0;
	list_for_each_entry(e, &head_interp_prog, list) {
		if (e->dev == dev && e->ino == ino) {
			found = 1;
			break;
		}
	}
	up_read(&rwsem_interp_prog);
	return found;
}

struct prog_info_struct *find_block_prog_info(u32 dev, u64 ino)
{
	struct prog_info_struct *e;

	list_for_each_entry(e, &head_block_prog_info, list) {
		if (e->dev == dev && e->ino == ino)
			return e;
	}
	return NULL;
}

const char *zt_basename(const char *path)
{
	const char *slash = strrchr(path, '/');

	return slash ? slash + 1 : path;
}

int strict_identity_name_verdict(bool have_file, u32 dev, u64 ino,
				 const char *path)
{
	bool hit;

	if (have_file && !down_read_killable(&rwsem_block_prog_info)) {
		hit = find_block_prog_info(dev, ino);
		up_read(&rwsem_block_prog_info);
		if (hit)
			return STRICT_BLOCK_INFO;
	}
	if (!path || atomic_read(&num_block_prog) <= 0)
		return STRICT_BLOCK_NONE;
	if (exist_name(&head_block_prog, &rwsem_block_prog, path,
		       zt_basename(path)))
		return STRICT_BLOCK_NAME;
	return STRICT_BLOCK_NONE;
}

static bool has_text(const char *s, int len)
{
	return s && len > 0;
}

/*
 * A listed interpreter is judged by what it opened alone: its own path may
 * well be listed (to keep it off the network when run directly) without
 * that making every script it runs blocked.
 */
static bool is_interpreter(const struct filter_input *in)
{
	if (atomic_read(&num_interp_prog) <= 0)
		return false;
	if (exist_interp_prog_by_dev_ino(in->dev, in->ino))
		return true;
	return in->path && exist_interp_prog(in->path);
}

static bool block_prog_names(const char *name)
{
	return name && atomic_read(&num_block_prog) > 0 &&
	       exist_block_prog(name);
}

bool filter_prog_decide(const struct filter_input *in)
{
	if (in->info)
		return true;
	if (in->hash_hit && in->digest)
		return true;
	if (!in->hash_hit && !in->digest && !has_text(in->path, in->path_len) &&
	    !has_text(in->short_name, in->short_len))
		return false;
	if (is_interpreter(in)) {
		pr_debug("zentrope: %s pid:%d IS Interper %s\n", "filter_prog",
			 in->pid, in->path ? in->path : "");
		return in->pid > 0 &&
		       exist_interp_prog_opened_block_prog(in->pid);
	}
	return block_prog_names(in->path) || block_prog_names(in->short_name);
}
