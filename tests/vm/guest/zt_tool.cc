// A small static program for the guest to execute under the module's rules:
//   zt_tool              exit 0
//   zt_tool wait         read stdin to its end, then exit 0
//   zt_tool read FILE    read FILE whole; exit 0, or the errno
//   zt_tool threads N    start and join N threads, then as "wait"
//   zt_tool exec PATH    start two sleeping threads, then exec PATH ("wait")
//   zt_tool connect PORT [IP]  TCP connect to IP (127.0.0.1):PORT; exit 0, or the errno
//   zt_tool fork ...     the rest in a child; its exit status
//   zt_tool tryexec FILE ...  exec FILE; when that fails, the rest
// wait and read, when they succeed, also go on with the rest.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace {

int Drain(int fd)
{
	char buf[4096];
	ssize_t n;
	while ((n = read(fd, buf, sizeof(buf))) > 0)
		;
	return n < 0 ? errno : 0;
}

void *Idle(void *arg)
{
	(void)arg;
	pause();
	return nullptr;
}

void *Nothing(void *arg)
{
	return arg;
}

// argv[1] is the command, as for main().
int Run(int argc, char **argv)
{
	if (argc < 2)
		return 0;
	if (!strcmp(argv[1], "wait"))
		return Drain(0) ?: Run(argc - 1, argv + 1);
	if (!strcmp(argv[1], "read") && argc > 2) {
		int fd = open(argv[2], O_RDONLY);
		if (fd < 0)
			return errno;
		int err = Drain(fd);
		close(fd);
		return err ?: Run(argc - 2, argv + 2);
	}
	if (!strcmp(argv[1], "fork")) {
		pid_t pid = fork();
		if (pid == 0)
			_exit(Run(argc - 1, argv + 1));
		int st;
		return waitpid(pid, &st, 0) == pid && WIFEXITED(st) ? WEXITSTATUS(st) : 1;
	}
	if (!strcmp(argv[1], "tryexec") && argc > 2) {
		char *args[] = { argv[2], nullptr };
		execv(argv[2], args);
		return Run(argc - 2, argv + 2);
	}
	if (!strcmp(argv[1], "threads") && argc > 2) {
		int n = atoi(argv[2]);
		for (int i = 0; i < n; i++) {
			pthread_t t;
			if (pthread_create(&t, nullptr, Nothing, nullptr))
				return 1;
			pthread_join(t, nullptr);
		}
		return Drain(0);
	}
	if (!strcmp(argv[1], "exec") && argc > 2) {
		for (int i = 0; i < 2; i++) {
			pthread_t t;
			pthread_create(&t, nullptr, Idle, nullptr);
		}
		char *args[] = { argv[2], const_cast<char *>("wait"), nullptr };
		execv(argv[2], args);
		return errno;
	}
	if (!strcmp(argv[1], "connect") && argc > 2) {
		sockaddr_in sa{};
		sa.sin_family = AF_INET;
		sa.sin_port = htons(atoi(argv[2]));
		sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		if (argc > 3 && inet_pton(AF_INET, argv[3], &sa.sin_addr) != 1)
			return 2;
		int fd = socket(AF_INET, SOCK_STREAM, 0);
		int err = connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) ? errno : 0;
		close(fd);
		return err;
	}
	return 2;
}

} // namespace

int main(int argc, char **argv)
{
	return Run(argc, argv);
}
