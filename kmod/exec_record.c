// SPDX-License-Identifier: GPL-2.0
/*
 * What a process's records say of its program: the file's path, digest,
 * identity and short name, written for the process once its exec can no
 * longer fail, or read from its executable for a process that has none.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/file.h>
#include <linux/dcache.h>
#include <linux/slab.h>
#include <linux/sched.h>
#include <linux/sched/mm.h>
#include <linux/string.h>

#include "compat.h"
#include "ima_crypto.h"
#include "proc_lists.h"
#include "exec_record.h"

void file_identity(struct file *file, u32 *dev, u64 *ino)
{
	struct inode *inode = d_inode(file->f_path.dentry);

	*dev = inode->i_sb->s_dev;
	*ino = inode->i_ino;
}

static void record_exec(const char *how, const char *path,
			const struct exec_ident *id, const char *short_name)
{
	int pid = task_tgid_nr(current);

	if (update_pid_prog_pair_list(pid, path, id->digest, id->len, id->dev,
				      id->ino))
		pr_err("zentrope: %s ADD %s pid:%d file:%s fail\n",
		       "add_pid_prog_pair_list", how, pid, path);
	else
		pr_debug("zentrope: %s ADD %s pid:%d file:%s\n",
			 "add_pid_prog_pair_list", how, pid, path);
	if (!short_name[0])
		return;
	if (update_pid_prog_pair_short_list(pid, short_name))
		pr_err("zentrope: %s ADD %s pid:%d short file:%s fail\n",
		       "add_pid_prog_pair_list", how, pid, short_name);
	else
		pr_debug("zentrope: %s ADD %s pid:%d short file:%s\n",
			 "add_pid_prog_pair_list", how, pid, short_name);
}

void commit_exec_record(const struct exec_record *rec)
{
	record_exec(rec->how, rec->path, &rec->id, rec->short_name);
}

static void set_short_name(struct exec_record *rec, struct dentry *dentry)
{
	struct name_snapshot snap;

	take_dentry_name_snapshot(&snap, dentry);
	strscpy(rec->short_name, (const char *)snap.name.name,
		sizeof(rec->short_name));
	release_dentry_name_snapshot(&snap);
}

int identify_binary(struct exec_record *rec, struct file *file,
			   char *buf)
{
	char *path = d_path(&file->f_path, buf, PATH_MAX);

	if (IS_ERR(path))
		return PTR_ERR(path);
	rec->how = "elf";
	rec->path = path;
	rec->id.len = get_file_hash(file, rec->id.digest,
				    sizeof(rec->id.digest), &rec->id.hashed);
	file_identity(file, &rec->id.dev, &rec->id.ino);
	set_short_name(rec, file->f_path.dentry);
	return 0;
}

int record_current_exe(void)
{
	struct exec_record *rec;
	struct file *exe;
	int ret;

	if (!current->mm)
		return -ENOENT;
	exe = zt_get_mm_exe_file(current->mm);
	if (!exe)
		return -ENOENT;
	rec = kzalloc(sizeof(*rec) + PATH_MAX, GFP_KERNEL | __GFP_NOWARN);
	ret = rec ? identify_binary(rec, exe, rec->work) : -ENOMEM;
	if (!ret)
		commit_exec_record(rec);
	kfree(rec);
	fput(exe);
	return ret;
}

