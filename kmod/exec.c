// SPDX-License-Identifier: GPL-2.0
/*
 * The exec check and the open check of listed interpreters. The exec
 * check runs before the exec's point of no return, in process context,
 * and may sleep (hashing reads the file); no list lock is held across
 * hashing or across the checks that take list locks themselves.
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
#include <linux/security.h>

#include "compat.h"
#include "block_hash.h"
#include "decide.h"
#include "exec_record.h"
#include "file_verdict.h"
#include "ima_crypto.h"
#include "msg.h"
#include "proc_lists.h"
#include "exec.h"

/* No header declares do_dentry_open(): its call-through follows the handler. */
static int fh_do_dentry_open(ZT_DO_DENTRY_OPEN_PARAMS);

FH_REAL_DEFINE(real_bprm_creds_from_file, security_bprm_creds_from_file);
FH_REAL_DEFINE(real_do_dentry_open, fh_do_dentry_open);

/* strict: 1 refuses listed programs at exec and open, 0 only records them. */
int g_strict;

/* is_strict_block() options: the digest was checked against the mark. */
#define STRICT_OPT_DIGEST_CHECKED 1

static int is_strict_block(const char *path, struct file *file,
			   const u8 *digest, int len, int *hashed, int options)
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
 * 0 with *@out (freed by the caller) set to what to record once the exec
 * has committed (NULL when nothing can be), or -EPERM after reporting.
 */
static int add_pid_prog_pair_list(struct linux_binprm *bprm,
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
static int fh_bprm_creds_from_file(struct linux_binprm *bprm,
				   ZT_CREDS_FILE *file)
{
	struct exec_record *rec = NULL;
	struct fh_frame frame;
	int ret = 0;

	if (fh_enter(&frame, &STATIC_CALL_KEY(real_bprm_creds_from_file)))
		ret = add_pid_prog_pair_list(bprm, &rec);
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

/*
 * A refusal here is undone by the caller's release of the file. A flag
 * set for the open is turned into the process's record at once.
 */
static int judge_open(struct file *file)
{
	struct interp_open_flag mark = {};
	int ret = fh_handler_security_file_post_open(file, &mark);

	if (!ret && mark.pid) {
		delete_flag_interp_prog_opened_block_prog_list(&mark);
		update_interp_opened_block_prog_list(mark.pid);
	}
	return ret;
}

static int fh_do_dentry_open(ZT_DO_DENTRY_OPEN_PARAMS)
{
	return FH_FOLLOW(real_do_dentry_open, judge_open(f),
			 ZT_DO_DENTRY_OPEN_ARGS);
}

FH_CHECK(fh_bprm_creds_from_file, security_bprm_creds_from_file);

const struct ftrace_hook exec_hooks[EXEC_HOOKS] __initconst = {
	HOOK("do_dentry_open", fh_do_dentry_open, real_do_dentry_open),
	HOOK("security_bprm_creds_from_file", fh_bprm_creds_from_file,
	     real_bprm_creds_from_file),
};
