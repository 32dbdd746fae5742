#include "event.h"

#include <linux/netlink.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr size_t kNlHdr = 16;
constexpr size_t kHdrs = kNlHdr + ZT_CN_HDR_SIZE; // 36

template <typename T> T load(const unsigned char *p)
{
	T v;
	memcpy(&v, p, sizeof(v));
	return v;
}

} // namespace

msg_status decode_message(const void *buf, size_t len, uint32_t sender_pid,
			  std::vector<event_payload> *out)
{
	const unsigned char *p = static_cast<const unsigned char *>(buf);
	if (len < kNlHdr)
		return msg_status::kIgnored;
	uint32_t nl_len = load<uint32_t>(p);
	uint16_t nl_type = load<uint16_t>(p + 4);
	if (sender_pid != 0)
		return msg_status::kIgnored;
	if (nl_type == NLMSG_ERROR)
		return msg_status::kNlError;
	if (nl_type != NLMSG_DONE)
		return msg_status::kIgnored;
	if (nl_len > len || nl_len < kHdrs)
		return msg_status::kBadLength;
	if (load<uint32_t>(p + kNlHdr) != ZT_CN_IDX ||
	    load<uint32_t>(p + kNlHdr + 4) != ZT_CN_VAL)
		return msg_status::kIgnored;
	size_t data_len = load<uint16_t>(p + kNlHdr + 16);
	if (nl_len < data_len + kHdrs)
		return msg_status::kBadLength;
	for (size_t off = 0; data_len - off >= ZT_PAYLOAD_SIZE; off += ZT_PAYLOAD_SIZE) {
		event_payload rec;
		memcpy(&rec, p + kHdrs + off, sizeof(rec));
		out->push_back(rec);
	}
	return msg_status::kRecords;
}

std::string event_time_text(uint64_t time_ns)
{
	time_t sec = (time_t)(time_ns / 1000000000ull);
	long usec = (long)((time_ns / 1000) % 1000000);
	char text[256] = "";
	struct tm tm;
	if (localtime_r(&sec, &tm))
		strftime(text, sizeof(text), "%FT%T", &tm);
	char out[300];
	snprintf(out, sizeof(out), "%s.%ld", text, usec);
	return out;
}

bool ack_stops(uint32_t code, const char **why)
{
	switch (code) {
	case ZT_ACK_UNLOAD:
		*why = "zentrope will be remove from kernel, the app will exit!\n";
		return true;
	case 111:
		*why = "unicast netlink socket already used by other program!\n";
		return true;
	case 22:
		*why = "multicast netlink send param error!\n";
		return true;
	default:
		return false;
	}
}
