/* SPDX-License-Identifier: GPL-2.0 */
/* The connection filter's handlers and call-through pointers (hooks.c). */
#ifndef ZENTROPE_NET_H
#define ZENTROPE_NET_H

#include <linux/types.h>

#include "ftrace_hook.h"

struct socket;
struct sockaddr;
struct msghdr;

int fh_security_socket_connect(struct socket *sock, struct sockaddr *address,
			       int addrlen);
int fh_security_socket_sendmsg(struct socket *sock, struct msghdr *msg,
			       int size);
int fh_inet_recvmsg(struct socket *sock, struct msghdr *msg, size_t size,
		    int flags);
int fh_inet6_recvmsg(struct socket *sock, struct msghdr *msg, size_t size,
		     int flags);
int fh_security_socket_bind(struct socket *sock, struct sockaddr *address,
			    int addrlen);

FH_REAL_DECLARE(real_security_socket_connect, fh_security_socket_connect);
FH_REAL_DECLARE(real_security_socket_sendmsg, fh_security_socket_sendmsg);
FH_REAL_DECLARE(real_inet_recvmsg, fh_inet_recvmsg);
FH_REAL_DECLARE(real_inet6_recvmsg, fh_inet6_recvmsg);
FH_REAL_DECLARE(real_security_socket_bind, fh_security_socket_bind);

#endif /* ZENTROPE_NET_H */
