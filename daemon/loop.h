// The event loop: block events to block-log lines, reloads, the hourly
// interpreter refresh.
#ifndef ZENTROPED_LOOP_H
#define ZENTROPED_LOOP_H

#include <csignal>
#include <string>

extern volatile sig_atomic_t g_exit_requested;
extern volatile sig_atomic_t g_reload_requested;
// The resolved configuration path, loaded again on every reload.
extern std::string g_config_path;

// The handler for SIGINT, SIGQUIT, SIGTERM and SIGUSR1, without SA_RESTART
// so that a waiting poll or recv returns EINTR.
int install_signal_handlers();

// Runs until a stop is requested: 0, or -1 after a receive failure.
int event_loop(int fd);

// Handles one received datagram: block-log lines, stop acknowledgements.
void handle_message(const void *buf, size_t len, uint32_t sender_pid);

// The reload on SIGUSR1 (all lists) and the hourly one (interpreters only).
void reload_lists(bool interp_only);

#endif
