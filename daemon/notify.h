// Readiness notifications to the service manager: the datagram protocol of
// sd_notify(3), written by hand because the program is fully static and
// libsystemd has no static library in Debian. Without NOTIFY_SOCKET every
// call does nothing; a failure is logged and never stops the daemon.
#ifndef ZENTROPED_NOTIFY_H
#define ZENTROPED_NOTIFY_H

#include <string>

// Sends @state ("KEY=value" lines) as one datagram to the socket that
// NOTIFY_SOCKET names: an absolute path, or an abstract name written with
// a leading "@". 1 when sent, 0 when NOTIFY_SOCKET is unset, -1 on failure
// (logged). Waits at most a second for room in the manager's queue.
int notify(const std::string &state);

// The lists are pushed and the connector socket listens: "READY=1".
int notify_ready();
// A reload begins: "RELOADING=1" and "MONOTONIC_USEC=" the monotonic clock
// in microseconds; notify_ready() ends it.
int notify_reloading();
// The stop begins: "STOPPING=1".
int notify_stopping();

#endif
