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

// The exit status in the wait status @st, 128 + signal number when killed.
inline int ExitCode(int st)
{
	return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Closes the child's stdin and reaps it: its ExitCode(), -1 when there is
// no child.
inline int Finish(Child &c)
{
	if (c.in >= 0)
		close(c.in);
	c.in = -1;
	int st;
	if (c.pid <= 0 || waitpid(c.pid, &st, 0) != c.pid)
		return -1;
	c.pid = -1;
	return ExitCode(st);
}

// Runs @argv to its end: -errno when the exec failed, else the exit status.
inline int RunProg(const std::vector<std::string> &argv, const char *cwd = nullptr)
{
	Child c = Spawn(argv, false, cwd);
	int st = Finish(c);
	return c.exec_errno ? -c.exec_errno : st;
}

// Runs @fn in a forked child that exits with what @fn returns; the child's
// wait status, -1 when there is no child.
template <typename Fn> int InChild(Fn fn)
{
	pid_t pid = fork();
	if (pid == 0)
		_exit(fn());
	int st;
	if (pid < 0 || waitpid(pid, &st, 0) != pid)
		return -1;
	return st;
}

struct Output {
	int status = -1;      // ExitCode(), -1 when there is no child
	int wait_status = -1; // as waitpid() gave it
	int exec_errno = 0;   // why execv() failed, 0 when the program ran
	std::string text;     // its stdout, and its stderr if asked for
};

// Runs @argv to its end as @uid (-1: as the caller), capturing its stdout
// and, with @with_stderr, its stderr. A failed setresuid() exits 126.
inline Output Capture(const std::vector<std::string> &argv, int uid = -1,
		      bool with_stderr = true)
{
	Output o;
	int out[2], err[2];
	if (pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
		return o;
	std::vector<char *> args = ArgvOf(argv);
	pid_t pid = fork();
	if (pid == 0) {
		dup2(out[1], 1);
		if (with_stderr)
			dup2(out[1], 2);
		if (uid >= 0 && setresuid(uid, uid, uid))
			_exit(126);
		execv(args[0], args.data());
		int e = errno;
		if (write(err[1], &e, sizeof(e)) < 0)
			_exit(126);
		_exit(127);
	}
	close(out[1]);
	close(err[1]);
	char buf[4096];
	ssize_t n;
	while ((n = read(out[0], buf, sizeof(buf))) > 0)
		o.text.append(buf, n);
	if (read(err[0], &o.exec_errno, sizeof(o.exec_errno)) != sizeof(o.exec_errno))
		o.exec_errno = 0;
	close(out[0]);
	close(err[0]);
	if (pid > 0 && waitpid(pid, &o.wait_status, 0) == pid)
		o.status = ExitCode(o.wait_status);
	else
		o.wait_status = -1;
	return o;
}

} // namespace zt

#endif // ZT_VM_GUEST_SPAWN_H
