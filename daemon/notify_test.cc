#include "notify.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <ctime>

#include "test_util.h"

namespace {

// A datagram socket bound where NOTIFY_SOCKET will point, as the service
// manager's is: a path, or an abstract name given with "@".
class Receiver {
public:
	explicit Receiver(const std::string &name)
	{
		fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
		sockaddr_un sa = {};
		sa.sun_family = AF_UNIX;
		memcpy(sa.sun_path, name.data(), name.size());
		if (name[0] == '@')
			sa.sun_path[0] = '\0';
		socklen_t len = (socklen_t)(offsetof(sockaddr_un, sun_path) + name.size());
		ok_ = fd_ >= 0 && bind(fd_, (sockaddr *)&sa, len) == 0;
	}
	~Receiver() { close(fd_); }
	bool ok() const { return ok_; }
	int fd() const { return fd_; }

	// The next datagram, "" when none comes within @ms.
	std::string Next(int ms = 1000)
	{
		pollfd p = { fd_, POLLIN, 0 };
		if (poll(&p, 1, ms) != 1)
			return "";
		char buf[4096];
		ssize_t n = recv(fd_, buf, sizeof(buf), 0);
		return n > 0 ? std::string(buf, (size_t)n) : "";
	}

private:
	int fd_ = -1;
	bool ok_ = false;
};

// NOTIFY_SOCKET for the test's duration; null unsets it.
class NotifyEnv {
public:
	explicit NotifyEnv(const char *value)
	{
		if (value)
			setenv("NOTIFY_SOCKET", value, 1);
		else
			unsetenv("NOTIFY_SOCKET");
	}
	~NotifyEnv() { unsetenv("NOTIFY_SOCKET"); }
};

unsigned long long MonotonicUsec()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (unsigned long long)ts.tv_sec * 1000000ull + ts.tv_nsec / 1000;
}

TEST(Notify, SocketForms)
{
	TempDir dir;
	const std::string path = dir.path() + "/notify";
	const std::string abstract = "@zt-notify-test-" + std::to_string(getpid());
	// The longest names the socket address takes: a path of 107 bytes and
	// its NUL, an abstract name of 108 bytes.
	const std::string longest_path =
		path + "-" + std::string(107 - path.size() - 1, 'p');
	const std::string longest_name = "@" + std::string(107, 'n');
	const std::string long_path = longest_path + "p", long_name = longest_name + "n";
	const std::string none = dir.path() + "/none";
	Receiver by_path(path), by_name(abstract);
	Receiver by_longest_path(longest_path), by_longest_name(longest_name);
	ASSERT_TRUE(by_path.ok());
	ASSERT_TRUE(by_name.ok());
	ASSERT_EQ(longest_path.size(), 107u);
	ASSERT_TRUE(by_longest_path.ok());
	ASSERT_TRUE(by_longest_name.ok());

	const struct {
		const char *name;
		const char *env; // null: unset
		int ret;
		Receiver *receiver; // where the message arrives, if anywhere
	} cases[] = {
		{ "unset", nullptr, 0, nullptr },
		{ "path", path.c_str(), 1, &by_path },
		{ "abstract", abstract.c_str(), 1, &by_name },
		{ "longest path", longest_path.c_str(), 1, &by_longest_path },
		{ "longest abstract name", longest_name.c_str(), 1, &by_longest_name },
		{ "path too long", long_path.c_str(), -1, nullptr },
		{ "abstract name too long", long_name.c_str(), -1, nullptr },
		{ "nonexistent path", none.c_str(), -1, nullptr },
		{ "relative path", "notify", -1, nullptr },
		{ "empty", "", -1, nullptr },
	};
	Receiver *all[] = { &by_path, &by_name, &by_longest_path, &by_longest_name };
	for (const auto &c : cases) {
		NotifyEnv env(c.env);
		EXPECT_EQ(notify_ready(), c.ret) << c.name;
		if (c.receiver)
			EXPECT_EQ(c.receiver->Next(), "READY=1") << c.name;
		for (Receiver *r : all)
			EXPECT_EQ(r->Next(0), "") << c.name << ": nothing elsewhere";
	}
}

TEST(Notify, Messages)
{
	TempDir dir;
	Receiver r(dir.path() + "/notify");
	ASSERT_TRUE(r.ok());
	NotifyEnv env((dir.path() + "/notify").c_str());

	unsigned long long before = MonotonicUsec();
	EXPECT_EQ(notify_reloading(), 1);
	unsigned long long after = MonotonicUsec();
	std::string m = r.Next();
	const std::string head = "RELOADING=1\nMONOTONIC_USEC=";
	ASSERT_EQ(m.compare(0, head.size(), head), 0) << m;
	unsigned long long usec = std::stoull(m.substr(head.size()));
	EXPECT_EQ(m, head + std::to_string(usec)) << "digits only, no newline at the end";
	EXPECT_GE(usec, before);
	EXPECT_LE(usec, after);

	EXPECT_EQ(notify_ready(), 1);
	EXPECT_EQ(r.Next(), "READY=1");
	EXPECT_EQ(notify_stopping(), 1);
	EXPECT_EQ(r.Next(), "STOPPING=1");
	EXPECT_EQ(notify("STATUS=a\nERRNO=0"), 1);
	EXPECT_EQ(r.Next(), "STATUS=a\nERRNO=0");
}

// A manager that stops reading: the send gives up after its timeout
// instead of holding the daemon.
TEST(Notify, FullQueueDoesNotHang)
{
	TempDir dir;
	const std::string path = dir.path() + "/notify";
	Receiver r(path);
	ASSERT_TRUE(r.ok());
	int filler = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	sockaddr_un sa = {};
	sa.sun_family = AF_UNIX;
	memcpy(sa.sun_path, path.c_str(), path.size() + 1);
	int queued = 0;
	while (queued < 100000 && sendto(filler, "x", 1, MSG_DONTWAIT, (sockaddr *)&sa,
					  sizeof(sa)) == 1)
		queued++;
	EXPECT_EQ(errno, EAGAIN);
	close(filler);

	NotifyEnv env(path.c_str());
	auto t0 = MonotonicUsec();
	EXPECT_EQ(notify_ready(), -1);
	EXPECT_LT(MonotonicUsec() - t0, 3000000u);
}

} // namespace
