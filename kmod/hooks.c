// SPDX-License-Identifier: GPL-2.0
/*
 * The table of diverted kernel functions. Every handler runs in the common
 * frame: the program handlers live in exec.c and tasks.c, the network ones
 * in net.c, the self-protection ones in protect.c.
 */
#include <linux/kernel.h>
#include <linux/binfmts.h>
#include <linux/fs.h>
#include <linux/security.h>
#include <linux/signal.h>
#include <linux/net.h>
#include <linux/xattr.h>
#include <linux/sched.h>
#include <net/inet_common.h>
#include <net/ipv6.h>

#include "compat.h"
#include "hooks.h"
#include "exec.h"
#include "protect.h"
#include "net.h"

/* Catch a handler whose prototype differs from the kernel's declaration. */
#define FH_CHECK(fn, kfn) \
	static_assert(__same_type(&fh_##fn, &kfn), #kfn " prototype")

FH_CHECK(exit_signals, exit_signals);
FH_CHECK(bprm_creds_from_file, security_bprm_creds_from_file);
FH_CHECK(security_socket_connect, security_socket_connect);
FH_CHECK(security_socket_sendmsg, security_socket_sendmsg);
FH_CHECK(inet_recvmsg, inet_recvmsg);
FH_CHECK(security_socket_bind, security_socket_bind);
FH_CHECK(vfs_utimes, vfs_utimes);
FH_CHECK(security_inode_setxattr, security_inode_setxattr);
FH_CHECK(security_inode_getxattr, security_inode_getxattr);
FH_CHECK(security_inode_removexattr, security_inode_removexattr);
FH_CHECK(vfs_listxattr, vfs_listxattr);
FH_CHECK(inet6_recvmsg, inet6_recvmsg);
FH_CHECK(wake_up_new_task, wake_up_new_task);

/* A test build names a symbol that cannot exist, to fail the load. */
#ifdef ZT_TEST_BAD_HOOK
#define CONNECT_SYMBOL "zentrope_no_such_symbol"
#else
#define CONNECT_SYMBOL "security_socket_connect"
#endif

struct ftrace_hook fhooks[FHOOKS_COUNT] = {
	HOOK("bprm_execve", fh_bprm_execve, real_bprm_execve),
	HOOK("exit_signals", fh_exit_signals, real_exit_signals),
	HOOK("do_dentry_open", fh_do_dentry_open, real_do_dentry_open),
	HOOK("security_bprm_creds_from_file", fh_bprm_creds_from_file,
	     real_bprm_creds_from_file),
	HOOK(CONNECT_SYMBOL, fh_security_socket_connect,
	     real_security_socket_connect),
	HOOK("security_socket_sendmsg", fh_security_socket_sendmsg,
	     real_security_socket_sendmsg),
	HOOK("inet_recvmsg", fh_inet_recvmsg, real_inet_recvmsg),
	HOOK("security_socket_bind", fh_security_socket_bind,
	     real_security_socket_bind),
	HOOK("vfs_utimes", fh_vfs_utimes, real_vfs_utimes),
	HOOK("security_inode_setxattr", fh_security_inode_setxattr,
	     real_security_inode_setxattr),
	HOOK("security_inode_getxattr", fh_security_inode_getxattr,
	     real_security_inode_getxattr),
	HOOK("security_inode_removexattr", fh_security_inode_removexattr,
	     real_security_inode_removexattr),
	HOOK("vfs_listxattr", fh_vfs_listxattr, real_vfs_listxattr),
	HOOK("inet6_recvmsg", fh_inet6_recvmsg, real_inet6_recvmsg),
	HOOK("wake_up_new_task", fh_wake_up_new_task, real_wake_up_new_task),
};
