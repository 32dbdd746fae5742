/* SPDX-License-Identifier: GPL-2.0 */
/* The connection filter's handlers and call-through pointers (hooks.c). */
#ifndef ZENTROPE_NET_H
#define ZENTROPE_NET_H

#include <linux/types.h>

struct socket;
struct sockaddr;
struct msghdr;

extern int (*real_security_socket_connect)(struct socket *sock,
					   struct sockaddr *address,
					   int addrlen);
extern int (*real_security_socket_sendmsg)(struct socket *sock,
					   struct msghdr *msg, int size);
extern int (*real_inet_recvmsg)(struct socket *sock, struct msghdr *msg,
				size_t size, int flags);
extern int (*real_security_socket_bind)(struct socket *sock,
					struct sockaddr *address, int addrlen);

int fh_security_socket_connect(struct socket *sock, struct sockaddr *address,
			       int addrlen);
int fh_security_socket_sendmsg(struct socket *sock, struct msghdr *msg,
			       int size);
int fh_inet_recvmsg(struct socket *sock, struct msghdr *msg, size_t size,
		    int flags);
int fh_security_socket_bind(struct socket *sock, struct sockaddr *address,
			    int addrlen);

#endif /* ZENTROPE_NET_H */
