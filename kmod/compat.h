/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Kernel-version differences, in one place. The module targets 6.6 and is
 * built and tested against 6.1 and 6.12.
 */
#ifndef ZENTROPE_COMPAT_H
#define ZENTROPE_COMPAT_H

#ifdef __KERNEL__
#include <linux/version.h>
#include <linux/sysctl.h>

/* 6.11 made the table argument of proc handlers const. */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 11, 0)
#define ZT_CTL_TABLE const struct ctl_table
#else
#define ZT_CTL_TABLE struct ctl_table
#endif

/*
 * register_sysctl_sz() appeared in 6.6; before it the table ends at its
 * empty terminator. From 6.11 the kernel walks exactly the declared size and
 * no longer stops at an empty entry, so the terminator must not be counted.
 * @size counts the terminator, as the 6.6 interface expects.
 */
static inline struct ctl_table_header *
zt_register_sysctl(const char *path, struct ctl_table *table, size_t size)
{
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 11, 0)
	return register_sysctl_sz(path, table, size - 1);
#elif LINUX_VERSION_CODE >= KERNEL_VERSION(6, 6, 0)
	return register_sysctl_sz(path, table, size);
#else
	return register_sysctl(path, table);
#endif
}

#include <linux/fs.h>
#include <linux/dcache.h>
#include <linux/xattr.h>

/* 6.3 replaced the user namespace of id-mapped mounts by struct mnt_idmap. */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 3, 0)
#define ZT_IDMAP struct mnt_idmap
#define zt_nop_idmap (&nop_mnt_idmap)
#else
#define ZT_IDMAP struct user_namespace
#define zt_nop_idmap (&init_user_ns)
#endif

/* Raw attribute write: no permission check, no security hook. */
static inline int zt_vfs_setxattr(struct dentry *dentry, struct inode *inode,
				  const char *name, const void *value,
				  size_t size)
{
	return __vfs_setxattr(zt_nop_idmap, dentry, inode, name, value, size, 0);
}

/* 6.7 moved the inode times behind accessors. */
static inline struct timespec64 zt_inode_mtime(const struct inode *inode)
{
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 7, 0)
	return inode_get_mtime(inode);
#else
	return inode->i_mtime;
#endif
}

/* The underlying dentry of a stacked (overlay) one; 6.9 changed d_real(). */
static inline struct dentry *zt_d_real(struct dentry *dentry)
{
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 9, 0)
	return d_real(dentry, D_REAL_DATA);
#else
	return d_real(dentry, NULL);
#endif
}

/*
 * Prototypes of the diverted functions that differ between versions. The
 * handlers are checked against the kernel's own declarations where there
 * is one (hooks.c); bprm_execve() and do_dentry_open() are static, so
 * their forms here were read off the 6.1 and 6.12 kernels' BTF and the
 * commits that changed them.
 */

/* 6.8 opens the file before bprm_execve(), which keeps only the bprm. */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 8, 0)
#define ZT_BPRM_EXECVE_PARAMS struct linux_binprm *bprm
#define ZT_BPRM_EXECVE_ARGS bprm
#else
#define ZT_BPRM_EXECVE_PARAMS \
	struct linux_binprm *bprm, int fd, struct filename *filename, int flags
#define ZT_BPRM_EXECVE_ARGS bprm, fd, filename, flags
#endif

/* 6.10 dropped do_dentry_open()'s inode: it is file_inode(f). */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 10, 0)
#define ZT_DO_DENTRY_OPEN_PARAMS \
	struct file *f, int (*open)(struct inode *, struct file *)
#define ZT_DO_DENTRY_OPEN_ARGS f, open
#else
#define ZT_DO_DENTRY_OPEN_PARAMS struct file *f, struct inode *inode, \
	int (*open)(struct inode *, struct file *)
#define ZT_DO_DENTRY_OPEN_ARGS f, inode, open
#endif

/* 6.7 made the file of security_bprm_creds_from_file() const. */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 7, 0)
#define ZT_CREDS_FILE const struct file
#else
#define ZT_CREDS_FILE struct file
#endif
#include <linux/udp.h>

/*
 * Whether a UDP send may be joined to others in one datagram: UDP_CORK.
 * The flag moved into udp_flags (6.7, and the 6.1 stable series), which
 * came with the udp_test_bit() macro.
 */
static inline bool zt_udp_corked(const struct sock *sk)
{
#ifdef udp_test_bit
	return udp_test_bit(CORK, sk);
#else
	return READ_ONCE(udp_sk(sk)->corkflag);
#endif
}

#include <linux/mm_types.h>
#include <linux/rcupdate.h>

/*
 * A reference to @mm's executable, as get_mm_exe_file() (not exported).
 * 6.7 made files SLAB_TYPESAFE_BY_RCU: get_file_rcu() then takes the
 * pointer's address, to check it again after taking the reference.
 */
static inline struct file *zt_get_mm_exe_file(struct mm_struct *mm)
{
	struct file *exe;

	rcu_read_lock();
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 7, 0)
	exe = get_file_rcu(&mm->exe_file);
#else
	exe = rcu_dereference(mm->exe_file);
	if (exe && !get_file_rcu(exe))
		exe = NULL;
#endif
	rcu_read_unlock();
	return exe;
}

#include <linux/ftrace.h>
#include <linux/module.h>

/* 6.4 split a module's memory into typed regions; text is one of them. */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 4, 0)
#define zt_within_module_text(addr, mod) \
	within_module_mem_type(addr, mod, MOD_TEXT)
#else
#define zt_within_module_text(addr, mod) within_module_core(addr, mod)
#endif

/*
 * With HAVE_DYNAMIC_FTRACE_WITH_ARGS (x86-64 since 5.11) the argument-only
 * trampoline takes a changed instruction pointer back, as live patching
 * relies on: no full register save is needed. 6.2 renamed the setter
 * ftrace_instruction_pointer_set() to ftrace_regs_set_instruction_pointer().
 */
#ifdef CONFIG_HAVE_DYNAMIC_FTRACE_WITH_ARGS
#define ZT_FTRACE_OPS_FLAGS FTRACE_OPS_FL_IPMODIFY
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 2, 0)
#define zt_ftrace_set_ip(fregs, ip) ftrace_regs_set_instruction_pointer(fregs, ip)
#else
#define zt_ftrace_set_ip(fregs, ip) ftrace_instruction_pointer_set(fregs, ip)
#endif
#else
#define ZT_FTRACE_OPS_FLAGS (FTRACE_OPS_FL_SAVE_REGS | FTRACE_OPS_FL_IPMODIFY)
#define zt_ftrace_set_ip(fregs, ip) (ftrace_get_regs(fregs)->ip = (ip))
#endif

#endif /* __KERNEL__ */

#endif /* ZENTROPE_COMPAT_H */
