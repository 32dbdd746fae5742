// SPDX-License-Identifier: GPL-2.0
/*
 * The exec check, the open check of listed interpreters and the verdict on
 * a recorded process's network operation. The exec check runs before the
 * exec's point of no return, in process context, and may sleep (hashing
 * reads the file); no list lock is held across hashing or across the
 * checks that take list locks themselves.
 */
#include <linux/kernel.h>
#include <linux/binfmts.h>
#include <linux/fs.h>
#include <linux/file.h>
#include <linux/fs_struct.h>
#include <linux/dcache.h>
#include <linux/path.h>
#include <linux/slab.h>
#include <linux/sched.h>
#include <linux/string.h>

#include "exec.h"
#include "proc_lists.h"
#include "block_hash.h"
#include "xattr_mark.h"
#include "ima_crypto.h"
#include "event_fmt.h"
#include "msg.h"
#include "zentrope_sysctl.h"
#include "hooks.h"

FH_REAL_DEFINE(real_bprm_creds_from_file, fh_bprm_creds_from_file);
FH_REAL_DEFINE(real_do_dentry_open, fh_do_dentry_open);

/* What the exec check learns of the program being started. */
struct exec_ident {
	u8 digest[SHA1_DIGEST_LEN];
	int len;
	int hashed;
	u32 dev;
	u64 ino;
};

/*
 * The records an exec will leave, written only once it can no longer
 * fail: a process whose exec fails goes on running its old program, and
 * keeps the records of that one. @path points into the work area.
 */
struct exec_record {
	const char *how;
	const char *path;
	struct exec_ident id;
	char short_name[NAME_MAX + 1];
	char work[];
};

static void file_identity(struct file *file, u32 *dev, u64 *ino)
{
	struct inode *inode = d_inode(file->f_path.dentry);

	*dev = inode->i_sb->s_dev;
	*ino = inode->i_ino;
}

int is_strict_block(const char *path, struct file *file, const u8 *digest,
		    int len, int *hashed, int options)
{
	u32 dev = 0;
	u64 ino = 0;
	int hit;

	if (digest && len > 0 && !buf_is_zero(digest, len)) {
		if (file && !(options & STRICT_OPT_DIGEST_CHECKED))
			hit = file_exist_block_hash(file, digest, len, hashed);
		else
			hit = exist_block_hash(digest, len);
		if (hit)
			return STRICT_BLOCK_HASH;
	}
	if (file)
		file_identity(file, &dev, &ino);
	return strict_identity_name_verdict(file, dev, ino, path);
}

static int refuse_exec(int verdict, const char *name, struct file *file,
		       const u8 *digest, int len)
{
	send_strict_block_event(verdict, name, file, digest, len);
	return -EPERM;
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

static void commit_exec_record(const struct exec_record *rec)
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

/* The program @file holds, as its records name it; the path in @buf. */
static int identify_binary(struct exec_record *rec, struct file *file,
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

/* A binary executed directly; rec->work is PATH_MAX bytes. */
static int judge_binary(struct linux_binprm *bprm, struct exec_record *rec)
{
	struct exec_ident *id = &rec->id;
	struct file *file = bprm->file;
	int v;

	if (identify_binary(rec, file, rec->work))
		return -ENOENT;
	if (!READ_ONCE(g_strict))
		return 0;
	v = is_strict_block(rec->path, file, id->digest, id->len, &id->hashed, 0);
	if (v > 0)
		return refuse_exec(v, rec->path, file, id->digest, id->len);
	/* A listed link name refuses even when its target changed. */
	v = strcmp(bprm->filename, rec->path) ?
	    is_strict_block(bprm->filename, NULL, NULL, 0, NULL, 0) : 0;
	if (v > 0)
		return refuse_exec(v, bprm->filename, NULL, NULL, 0);
	return 0;
}

/*
 * The script's path as exec was given it, made absolute against the
 * working directory; @cwd_buf is scratch. 0 or -errno.
 */
static int script_full_path(const char *name, char *out, char *cwd_buf)
{
	struct path pwd;
	char *cwd;

	if (name[0] == '/')
		return strscpy(out, name, PATH_MAX) < 0 ? -ENAMETOOLONG : 0;
	if (!current->fs)
		return -ENOENT;
	get_fs_pwd(current->fs, &pwd);
	cwd = d_path(&pwd, cwd_buf, PATH_MAX);
	path_put(&pwd);
	if (IS_ERR(cwd))
		return PTR_ERR(cwd);
	if (!strcmp(cwd, "/"))
		cwd = "";
	if (snprintf(out, PATH_MAX, "%s/%s", cwd, name) >= PATH_MAX)
		return -ENAMETOOLONG;
	return 0;
}

/*
 * A script (or a misc binary): the loader chose an interpreter and the
 * script's own file is already closed, so it is judged by its name,
 * opened again. rec->work is 3 * PATH_MAX bytes.
 */
static int judge_script(struct linux_binprm *bprm, struct exec_record *rec)
{
	struct exec_ident *id = &rec->id;
	char *work = rec->work, *canon;
	struct file *f;
	int v = 0;

	if (script_full_path(bprm->filename, work, work + 2 * PATH_MAX))
		return -ENOENT;
	rec->how = "interp";
	rec->path = work;
	strscpy(rec->short_name, zt_basename(bprm->filename),
		sizeof(rec->short_name));
	/* Never wait on a FIFO nor acquire a controlling tty. */
	f = filp_open(rec->path, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0);
	if (!IS_ERR(f)) {
		/* The opened file's own path: "./x" and "a/../x" name it too. */
		canon = d_path(&f->f_path, work + PATH_MAX, PATH_MAX);
		if (!IS_ERR(canon))
			rec->path = canon;
		file_identity(f, &id->dev, &id->ino);
		id->len = get_filename_hash(rec->path, f, id->digest,
					    sizeof(id->digest), &id->hashed);
		if (READ_ONCE(g_strict))
			v = is_strict_block(rec->path, f, id->digest, id->len,
					    &id->hashed, 0);
		filp_close(f, NULL);
	} else if (READ_ONCE(g_strict)) {
		v = is_strict_block(rec->path, NULL, NULL, 0, NULL, 0);
	}
	if (v > 0)
		return refuse_exec(v, rec->path, bprm->file, id->digest, id->len);
	return 0;
}

/*
 * 0 with *@out set to what to record once the exec has committed (NULL
 * when nothing can be), or -EPERM.
 */
int add_pid_prog_pair_list(struct linux_binprm *bprm,
			   struct exec_record **out)
{
	bool direct = bprm->interp == bprm->filename;
	struct exec_record *rec;
	int ret;

	*out = NULL;
	if (!bprm->file || !bprm->filename)
		return 0;
	/* Without memory the exec goes on unrecorded, as for a bad path. */
	rec = kzalloc(sizeof(*rec) + (direct ? PATH_MAX : 3 * PATH_MAX),
		      GFP_KERNEL | __GFP_NOWARN);
	if (!rec)
		return 0;
	ret = direct ? judge_binary(bprm, rec) : judge_script(bprm, rec);
	if (!ret) {
		*out = rec;
		return 0;
	}
	kfree(rec);
	return ret == -EPERM ? ret : 0;
}

/*
 * The kernel's own check may still refuse the exec; the point of no
 * return follows right after it, so a record written then is the
 * program the process will run.
 */
int fh_bprm_creds_from_file(struct linux_binprm *bprm, ZT_CREDS_FILE *file)
{
	struct exec_record *rec = NULL;
	struct fh_frame frame;
	int ret = 0;

	if (fh_enter(&frame))
		ret = add_pid_prog_pair_list(bprm, &rec);
	zt_test_count_call(&STATIC_CALL_KEY(real_bprm_creds_from_file));
	if (!ret)
		ret = static_call(real_bprm_creds_from_file)(bprm, file);
	if (rec) {
		if (!ret)
			commit_exec_record(rec);
		kfree(rec);
	}
	fh_leave(&frame);
	return ret;
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

/* ---- files opened by listed interpreters ---- */

#define OPEN_FN "fh_handler_security_file_post_open"

/* Whether the process's recorded program is a listed interpreter. */
static bool current_runs_interp(int pid)
{
	struct pid_prog_pair *rec;
	bool is = false, derived = false;

again:
	rcu_read_lock();
	rec = find_pid_prog_pair(&pid_prog_pair_list, pid);
	if (rec)
		is = exist_interp_prog_by_dev_ino(rec->dev, rec->ino) ||
		     exist_interp_prog(rec->name);
	rcu_read_unlock();
	/* An interpreter started before the module was loaded is one too. */
	if (!rec && !derived && !record_current_exe()) {
		derived = true;
		goto again;
	}
	return is;
}

static bool open_is_block_prog_info(struct file *file)
{
	u32 dev;
	u64 ino;

	if (atomic_read(&num_block_prog_info) <= 0)
		return false;
	file_identity(file, &dev, &ino);
	return exist_block_prog_info(dev, ino);
}

static bool open_is_block_prog(struct file *file, const char *path)
{
	struct name_snapshot snap;
	bool hit;

	if (atomic_read(&num_block_prog) <= 0)
		return false;
	if (exist_block_prog(path)) {
		pr_debug("zentrope: %s Opening %s in block_prog\n", OPEN_FN, path);
		return true;
	}
	take_dentry_name_snapshot(&snap, file->f_path.dentry);
	hit = exist_block_prog((const char *)snap.name.name);
	if (hit)
		pr_debug("zentrope: %s Opening short name %s in block_prog\n",
			 OPEN_FN, snap.name.name);
	release_dentry_name_snapshot(&snap);
	return hit;
}

static void flag_open(struct interp_open_flag *mark, const char *path)
{
	const char *fn = "update_flag_interp_opened_block_prog_list";

	if (exist_flag_interp_prog_opened_block_prog(mark))
		return;
	if (update_flag_interp_prog_opened_block_prog_list(mark))
		pr_err("zentrope: %s Update flag pid:%d exec block_prog file:%s %p fail\n",
		       fn, mark->pid, path, mark->file);
	else
		pr_debug("zentrope: %s Update flag pid:%d exec block_prog file:%s %p succ\n",
			 fn, mark->pid, path, mark->file);
}

/*
 * 0, with @mark set when a listed interpreter opened a blocked program's
 * file; -EPERM when strict refuses that open. Processes that run no listed
 * interpreter leave after two counter reads and one record lookup.
 */
static int fh_handler_security_file_post_open(struct file *file,
					      struct interp_open_flag *mark)
{
	u8 digest[SHA1_DIGEST_LEN] = {};
	int len = sizeof(digest), hashed = 0, hash_hit, v, ret = 0;
	int pid = task_tgid_nr(current);
	char *buf, *path;

	if (!file || atomic_read(&num_interp_prog) <= 0 ||
	    !current_runs_interp(pid))
		return 0;
	buf = kmalloc(PATH_MAX, GFP_ATOMIC | __GFP_NOWARN);
	if (!buf)
		return 0;
	path = d_path(&file->f_path, buf, PATH_MAX);
	if (IS_ERR(path))
		goto out;
	hash_hit = file_exist_block_hash_and_get(file, digest, &len, &hashed);
	if (READ_ONCE(g_strict)) {
		v = is_strict_block(path, file, digest, len, &hashed,
				    STRICT_OPT_DIGEST_CHECKED);
		if (v > 0) {
			send_strict_block_event(v, path, file, digest, len);
			ret = -EPERM;
			goto out;
		}
	}
	if (!hash_hit && !open_is_block_prog_info(file) &&
	    !open_is_block_prog(file, path))
		goto out;
	pr_debug("zentrope: %s Find interp is opening block_prog file:%s file:%p\n",
		 OPEN_FN, path, file);
	mark->pid = pid;
	mark->file = file;
	flag_open(mark, path);
out:
	kfree(buf);
	return ret;
}

int fh_do_dentry_open(ZT_DO_DENTRY_OPEN_PARAMS)
{
	struct interp_open_flag mark = {};
	struct fh_frame frame;
	bool judge = fh_enter(&frame);
	int ret;

	zt_test_count_call(&STATIC_CALL_KEY(real_do_dentry_open));
	ret = static_call(real_do_dentry_open)(ZT_DO_DENTRY_OPEN_ARGS);
	/* A refusal here is undone by the caller's release of the file. */
	if (!ret && judge) {
		ret = fh_handler_security_file_post_open(f, &mark);
		if (!ret && mark.pid) {
			delete_flag_interp_prog_opened_block_prog_list(&mark);
			update_interp_opened_block_prog_list(mark.pid);
		}
	}
	fh_leave(&frame);
	return ret;
}

/* ---- network operations of recorded processes ---- */

int filter_prog(struct prog_info_struct *info, int hash_hit, const u8 *digest,
		u32 dev, u64 ino, const char *path, int path_len,
		const char *short_name, int short_len, int pid, int kind)
{
	const struct filter_input in = {
		.info = info, .hash_hit = hash_hit, .digest = digest,
		.dev = dev, .ino = ino, .path = path, .path_len = path_len,
		.short_name = short_name, .short_len = short_len, .pid = pid,
	};
	const struct event_identity id = {
		.digest = digest, .hash_hit = hash_hit,
		.info_name = info ? info->name : NULL,
		.path = path, .short_name = short_name,
	};
	struct block_event *ev;

	if (!filter_prog_decide(&in))
		return 0;
	ev = block_event_refusal(ZT_TYPE_PROG, kind);
	if (ev) {
		event_set_identity(ev, &id);
		block_event_send(ev);
	}
	return -EPERM;
}
