#include "event.h"

#include <arpa/inet.h>
#include <linux/netlink.h>

#include <cstdarg>
#include <cstring>
#include <ctime>

namespace {

constexpr size_t kNlHdr = 16;
constexpr size_t kHdrs = kNlHdr + ZT_CN_HDR_SIZE; // 36

const char *const kNames[ZT_KIND_COUNT] = {
	"program", "connecting", "sendmsging", "dnslookuping",
	"recvmsging", "hashlist", "execing", "binding",
};

template <typename T> T load(const unsigned char *p)
{
	T v;
	memcpy(&v, p, sizeof(v));
	return v;
}

// A text field up to its terminator or its end, whichever comes first.
std::string field(const char *f, size_t size)
{
	return std::string(f, strnlen(f, size));
}

std::string fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	char *s = nullptr;
	int n = vasprintf(&s, format, ap);
	va_end(ap);
	std::string r = n < 0 ? "" : std::string(s, (size_t)n);
	free(s);
	return r;
}

struct peer {
	std::string addr;
	int port = 0;
};

peer peer_of(const block_event &ev)
{
	peer p;
	char text[46] = "";
	uint16_t family = load<uint16_t>(ev.addr + ZT_ADDR_FAMILY_OFF);
	uint16_t port = load<uint16_t>(ev.addr + ZT_ADDR_PORT_OFF);
	if (family == ZT_AF_INET)
		inet_ntop(AF_INET, ev.addr + ZT_ADDR_IN4_OFF, text, sizeof(text));
	else if (family == ZT_AF_INET6)
		inet_ntop(AF_INET6, ev.addr + ZT_ADDR_IN6_OFF, text, sizeof(text));
	else
		return p;
	p.addr = text;
	p.port = ntohs(port);
	return p;
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
	return fmt("%s.%ld", text, usec);
}

std::string format_block_line(const event_payload &rec)
{
	const block_event &ev = rec.event;
	if (ev.kind >= ZT_KIND_COUNT)
		return "";
	const std::string comm = field(ev.comm, sizeof(ev.comm));
	const std::string prog = field(ev.prog, sizeof(ev.prog));
	const std::string hash = field(ev.hash, sizeof(ev.hash));
	const std::string url = field(ev.url, sizeof(ev.url));
	// The type names a word only for the program and hash-list classes.
	const char *type = ev.type < ZT_KIND_COUNT ? kNames[ev.type] : "";
	const char *kind = kNames[ev.kind];
	std::string who = hash.empty() ? "prog:" + prog : "hash:" + hash;
	std::string head = fmt("%llu %s Blocking ",
			       (unsigned long long)rec.header.sequence,
			       event_time_text(rec.header.time_ns).c_str());

	if (ev.type == ZT_TYPE_PROG)
		return head + fmt("%s %s pid:%d comm:%s %s\n", type, kind, ev.pid,
				  comm.c_str(), who.c_str());
	if (ev.type == ZT_TYPE_HASH)
		return head + fmt("%s %s pid:%d comm:%s prog:%s hash:%s\n", type,
				  kind, ev.pid, comm.c_str(), prog.c_str(),
				  hash.c_str());
	if (ev.kind == ZT_KIND_DNSLOOKUPING)
		return head + fmt("%s url:%s pid:%d comm:%s %s\n", kind, url.c_str(),
				  ev.pid, comm.c_str(), who.c_str());
	const char *what;
	switch (ev.kind) {
	case ZT_KIND_BINDING:
		what = "port";
		break;
	case ZT_KIND_CONNECTING:
	case ZT_KIND_SENDMSGING:
	case ZT_KIND_RECVMSGING:
		what = "ip";
		break;
	default:
		return "";
	}
	peer pr = peer_of(ev);
	return head + fmt("%s %s to %s:%d pid:%d comm:%s %s\n", what, kind,
			  pr.addr.c_str(), pr.port, ev.pid, comm.c_str(),
			  who.c_str());
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
