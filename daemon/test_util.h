// Shared helpers of the daemon's host tests.
#ifndef ZENTROPED_TEST_UTIL_H
#define ZENTROPED_TEST_UTIL_H

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "zentrope_event.h"

// A fresh directory under /tmp, removed with its files afterwards.
class TempDir {
public:
	TempDir()
	{
		char tmpl[] = "/tmp/zt-daemon-test.XXXXXX";
		path_ = mkdtemp(tmpl);
	}
	~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
	const std::string &path() const { return path_; }
	std::string file(const std::string &name, const std::string &text) const
	{
		std::string p = path_ + "/" + name;
		std::ofstream(p, std::ios::binary) << text;
		return p;
	}

private:
	std::string path_;
};

// A block event of @type and @kind with every text field set.
inline event_payload record(uint32_t type, uint32_t kind, const char *hash = "")
{
	event_payload r = {};
	r.header.msg_type = ZT_MSG_EVENT;
	r.header.sequence = 17;
	r.header.time_ns = 1234567890123456789ull;
	r.event.type = type;
	r.event.kind = kind;
	r.event.pid = 4242;
	strcpy(r.event.comm, "curl");
	strcpy(r.event.prog, "/usr/bin/curl");
	strcpy(r.event.url, "example.com");
	strcpy(r.event.hash, hash);
	return r;
}

inline void set_v4(event_payload *r, const char *ip, uint16_t port)
{
	uint16_t fam = ZT_AF_INET, p = htons(port);
	memcpy(r->event.addr, &fam, 2);
	memcpy(r->event.addr + ZT_ADDR_PORT_OFF, &p, 2);
	inet_pton(AF_INET, ip, r->event.addr + ZT_ADDR_IN4_OFF);
}

// A datagram as the kernel sends it: netlink header, connector header,
// data_len bytes of records (copies of @rec, numbered from seq0).
inline std::vector<unsigned char> datagram(size_t records, size_t data_len,
					   uint32_t idx = ZT_CN_IDX, uint64_t seq0 = 17,
					   event_payload rec = record(0, 6))
{
	std::vector<unsigned char> m(36 + records * ZT_PAYLOAD_SIZE);
	uint32_t len = m.size(), val = ZT_CN_VAL;
	uint16_t type = NLMSG_DONE, dl = data_len;
	memcpy(&m[0], &len, 4);
	memcpy(&m[4], &type, 2);
	memcpy(&m[16], &idx, 4);
	memcpy(&m[20], &val, 4);
	memcpy(&m[32], &dl, 2);
	for (size_t i = 0; i < records; i++) {
		event_payload r = rec;
		r.header.sequence = seq0 + i;
		memcpy(&m[36 + i * ZT_PAYLOAD_SIZE], &r, sizeof(r));
	}
	return m;
}

#endif
