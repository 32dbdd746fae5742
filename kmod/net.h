/* SPDX-License-Identifier: GPL-2.0 */
/* The connection filter's part of the hook table. */
#ifndef ZENTROPE_NET_H
#define ZENTROPE_NET_H

#include "ftrace_hook.h"

/* A test build names a symbol that cannot exist, to fail the load. */
#ifdef ZT_TEST_BAD_HOOK
#define ZT_CONNECT_SYMBOL "zentrope_no_such_symbol"
#else
#define ZT_CONNECT_SYMBOL "security_socket_connect"
#endif

#define NET_HOOKS 5
extern const struct ftrace_hook net_hooks[NET_HOOKS];

#endif /* ZENTROPE_NET_H */
