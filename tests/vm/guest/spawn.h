// Starting guest programs and telling a refused exec from a program that
// ran: the child reports a failed execv() through a close-on-exec pipe.
#ifndef ZT_VM_GUEST_SPAWN_H
#define ZT_VM_GUEST_SPAWN_H

#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace zt {

// @argv as execv() takes it; the strings stay @argv's.
inline std::vector<char *> ArgvOf(const std::vector<std::string> &argv)
{
	std::vector<char *> args;
	for (const std::string &a : argv)
		args.push_back(const_cast<char *>(a.c_str()));
	args.push_back(nullptr);
	return args;
}

struct Child {
	pid_t pid = -1;
	int in = -1;	     // the child's stdin, while held open
	int exec_errno = 0;  // why execv() failed, 0 when the program runs
};

// Runs @argv (argv[0] is the path) in @cwd. With @hold the child's stdin
// is a pipe kept open until Finish(), so a "wait" program stays alive.
inline Child Spawn(const std::vector<std::string> &argv, bool hold = false,
		   const char *cwd = nullptr)
{
	Child c;
	int err_pipe[2], in_pipe[2] = { -1, -1 };
	// Close-on-exec: a later child must not hold this one's stdin open.
	if (pipe2(err_pipe, O_CLOEXEC) || (hold && pipe2(in_pipe, O_CLOEXEC))) {
		c.exec_errno = errno;
		return c;
	}
	std::vector<char *> args = ArgvOf(argv);
	c.pid = fork();
	if (c.pid == 0) {
		if (hold) {
			dup2(in_pipe[0], 0);
			close(in_pipe[0]);
			close(in_pipe[1]);
		}
		int e = 0;
		if (cwd && chdir(cwd))
			e = errno;
		if (!e) {
			execv(args[0], args.data());
			e = errno;
		}
		if (write(err_pipe[1], &e, sizeof(e)) < 0)
			_exit(126);
		_exit(127);
	}
	close(err_pipe[1]);
	if (hold) {
		close(in_pipe[0]);
		c.in = in_pipe[1];
	}
	if (read(err_pipe[0], &c.exec_errno, sizeof(c.exec_errno)) <= 0)
		c.exec_errno = 0;
	close(err_pipe[0]);
	return c;
}

// Closes the child's stdin and reaps it: its exit status, 128 + signal
// number when killed, -1 when there is no child.
inline int Finish(Child &c)
{
	if (c.in >= 0)
		close(c.in);
	c.in = -1;
	int st;
	if (c.pid <= 0 || waitpid(c.pid, &st, 0) != c.pid)
		return -1;
	c.pid = -1;
	return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Runs @argv to its end: -errno when the exec failed, else the exit status.
inline int RunProg(const std::vector<std::string> &argv, const char *cwd = nullptr)
{
	Child c = Spawn(argv, false, cwd);
	int st = Finish(c);
	return c.exec_errno ? -c.exec_errno : st;
}

} // namespace zt

#endif // ZT_VM_GUEST_SPAWN_H
