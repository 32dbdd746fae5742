#include "block_log.h"

#include <arpa/inet.h>

#include <cstdarg>
#include <cstring>
#include <ctime>

#include "event.h"

namespace {

const char *const kNames[ZT_KIND_COUNT] = ZT_KIND_WORDS;

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

template <typename T> T load(const unsigned char *p)
{
	T v;
	memcpy(&v, p, sizeof(v));
	return v;
}

// A text field up to its terminator or its end, whichever comes first.
template <size_t N> std::string field(const char (&f)[N])
{
	return std::string(f, strnlen(f, N));
}

void put_hex(std::string *out, unsigned char c)
{
	static const char x[] = "0123456789abcdef";
	*out += "\\x";
	*out += x[c >> 4];
	*out += x[c & 15];
}

bool needs_escape(unsigned char c)
{
	return c < 0x20 || c == 0x7f || c == '\\';
}

struct peer {
	bool known = false;
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
	p.known = true;
	p.addr = text;
	p.port = ntohs(port);
	return p;
}

// The rule class that refused, as the text line's word; null for the
// records that make no line.
const char *rule_word(const block_event &ev)
{
	if (ev.kind >= ZT_KIND_COUNT)
		return nullptr;
	if (ev.type == ZT_TYPE_PROG || ev.type == ZT_TYPE_HASH)
		return kNames[ev.type];
	switch (ev.kind) {
	case ZT_KIND_DNSLOOKUPING:
		return "domain";
	case ZT_KIND_BINDING:
		return "port";
	case ZT_KIND_CONNECTING:
	case ZT_KIND_SENDMSGING:
	case ZT_KIND_RECVMSGING:
		return "ip";
	default:
		return nullptr;
	}
}

std::string rfc3339(uint64_t time_ns)
{
	time_t sec = (time_t)(time_ns / 1000000000ull);
	struct tm tm;
	char text[64] = "";
	if (gmtime_r(&sec, &tm))
		strftime(text, sizeof(text), "%FT%T", &tm);
	return fmt("%s.%06uZ", text, (unsigned)(time_ns / 1000 % 1000000));
}

// Builds one JSON object. Every string goes through escape_utf8 first, so
// what is left to escape is the quote and the backslash of its \xHH.
class json_object {
public:
	json_object &str(const char *key, const std::string &v)
	{
		std::string e;
		for (char c : escape_utf8(v)) {
			if (c == '"' || c == '\\')
				e += '\\';
			e += c;
		}
		return raw(key, "\"" + e + "\"");
	}
	json_object &num(const char *key, long long v)
	{
		return raw(key, std::to_string(v));
	}
	json_object &unum(const char *key, unsigned long long v)
	{
		return raw(key, std::to_string(v));
	}
	json_object &opt(const char *key, const std::string &v)
	{
		return v.empty() ? *this : str(key, v);
	}
	std::string line() const { return "{" + body_ + "}\n"; }

private:
	std::string body_;

	json_object &raw(const char *key, const std::string &v)
	{
		body_ += (body_.empty() ? "\"" : ",\"") + std::string(key) + "\":" + v;
		return *this;
	}
};

} // namespace

size_t utf8_len(const std::string &s, size_t i)
{
	const unsigned char c = (unsigned char)s[i];
	size_t n;
	unsigned char lo = 0x80, hi = 0xbf;
	if (c < 0x80)
		return 1;
	if (c >= 0xc2 && c <= 0xdf)
		n = 2;
	else if (c >= 0xe0 && c <= 0xef)
		n = 3;
	else if (c >= 0xf0 && c <= 0xf4)
		n = 4;
	else
		return 0;
	if (c == 0xe0)
		lo = 0xa0;
	else if (c == 0xed)
		hi = 0x9f;
	else if (c == 0xf0)
		lo = 0x90;
	else if (c == 0xf4)
		hi = 0x8f;
	if (i + n > s.size())
		return 0;
	for (size_t k = 1; k < n; k++) {
		unsigned char b = (unsigned char)s[i + k];
		if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xbf))
			return 0;
	}
	return n;
}

bool event_words(const block_event &ev, const char **op, const char **rule)
{
	*rule = rule_word(ev);
	if (!*rule)
		return false;
	*op = kNames[ev.kind];
	return true;
}

std::string escape_text(const std::string &s)
{
	std::string out;
	out.reserve(s.size());
	for (unsigned char c : s) {
		if (needs_escape(c))
			put_hex(&out, c);
		else
			out += (char)c;
	}
	return out;
}

std::string escape_utf8(const std::string &s)
{
	std::string out;
	out.reserve(s.size());
	for (size_t i = 0; i < s.size();) {
		size_t n = utf8_len(s, i);
		if (n == 1 && needs_escape((unsigned char)s[i]))
			n = 0;
		if (!n) {
			put_hex(&out, (unsigned char)s[i++]);
			continue;
		}
		out.append(s, i, n);
		i += n;
	}
	return out;
}

std::string format_block_line(const event_payload &rec)
{
	const block_event &ev = rec.event;
	const char *rule = rule_word(ev);
	if (!rule)
		return "";
	const std::string comm = escape_text(field(ev.comm));
	const std::string prog = escape_text(field(ev.prog));
	const std::string hash = escape_text(field(ev.hash));
	const std::string url = escape_text(field(ev.url));
	const char *kind = kNames[ev.kind];
	std::string who = hash.empty() ? "prog:" + prog : "hash:" + hash;
	std::string head = fmt("%llu %s Blocking ",
			       (unsigned long long)rec.header.sequence,
			       event_time_text(rec.header.time_ns).c_str());

	if (ev.type == ZT_TYPE_PROG)
		return head + fmt("%s %s pid:%d comm:%s %s\n", rule, kind, ev.pid,
				  comm.c_str(), who.c_str());
	if (ev.type == ZT_TYPE_HASH)
		return head + fmt("%s %s pid:%d comm:%s prog:%s hash:%s\n", rule,
				  kind, ev.pid, comm.c_str(), prog.c_str(),
				  hash.c_str());
	if (ev.kind == ZT_KIND_DNSLOOKUPING)
		return head + fmt("%s url:%s pid:%d comm:%s %s\n", kind, url.c_str(),
				  ev.pid, comm.c_str(), who.c_str());
	peer pr = peer_of(ev);
	return head + fmt("%s %s to %s:%d pid:%d comm:%s %s\n", rule, kind,
			  pr.addr.c_str(), pr.port, ev.pid, comm.c_str(),
			  who.c_str());
}

// The same records as the text form, each field only where the event
// carries it; the address also for program rules that refused a socket.
std::string format_block_json(const event_payload &rec, const std::string &host)
{
	const block_event &ev = rec.event;
	const char *rule = rule_word(ev);
	if (!rule)
		return "";
	json_object o;
	o.unum("seq", rec.header.sequence)
		.str("time", rfc3339(rec.header.time_ns))
		.str("host", host)
		.str("op", kNames[ev.kind])
		.str("rule", rule)
		.num("pid", ev.pid)
		.str("comm", field(ev.comm))
		.opt("prog", field(ev.prog))
		.opt("hash", field(ev.hash));
	peer pr = peer_of(ev);
	if (pr.known)
		o.str("addr", pr.addr).num("port", pr.port);
	if (ev.kind == ZT_KIND_DNSLOOKUPING)
		o.opt("domain", field(ev.url));
	return o.line();
}

std::string format_lost(const lost_events &l, log_format f, const std::string &host)
{
	const uint64_t n = l.last - l.first + 1;
	if (f == log_format::kJson)
		return json_object()
			.str("time", rfc3339(l.time_ns))
			.str("host", host)
			.unum("lost", n)
			.unum("first_seq", l.first)
			.unum("last_seq", l.last)
			.unum("lost_total", l.total)
			.line();
	return fmt("%llu-%llu %s Lost %llu block events, %llu in all\n",
		   (unsigned long long)l.first, (unsigned long long)l.last,
		   event_time_text(l.time_ns).c_str(), (unsigned long long)n,
		   (unsigned long long)l.total);
}

std::string format_event(const event_payload &rec, log_format f,
			 const std::string &host)
{
	return f == log_format::kJson ? format_block_json(rec, host) :
					format_block_line(rec);
}
