#include "block_log.h"
#include "event.h"

#include <cstdio>
#include <cstring>

#include "test_util.h"

namespace {

TEST(BlockLine, EveryCase)
{
	setenv("TZ", "UTC", 1);
	tzset();
	const std::string t = "17 2009-02-13T23:31:30.123456 Blocking ";
	const std::string h(40, 'a');
	struct {
		event_payload rec;
		std::string tail;
	} cases[] = {
		{ record(0, 6), "program execing pid:4242 comm:curl prog:/usr/bin/curl\n" },
		{ record(0, 6, h.c_str()), "program execing pid:4242 comm:curl hash:" + h + "\n" },
		{ record(5, 5, h.c_str()), "hashlist hashlist pid:4242 comm:curl prog:/usr/bin/curl hash:" + h + "\n" },
		{ record(3, 3), "dnslookuping url:example.com pid:4242 comm:curl prog:/usr/bin/curl\n" },
		{ record(1, 1), "ip connecting to :0 pid:4242 comm:curl prog:/usr/bin/curl\n" },
		{ record(7, 7, h.c_str()), "port binding to :0 pid:4242 comm:curl hash:" + h + "\n" },
		{ record(1, 6), "" },
		{ record(1, 9), "" },
	};
	for (auto &c : cases)
		EXPECT_EQ(format_block_line(c.rec), c.tail.empty() ? "" : t + c.tail);

	event_payload r = record(2, 2);
	set_v4(&r, "192.0.2.7", 443);
	EXPECT_EQ(format_block_line(r),
		  t + "ip sendmsging to 192.0.2.7:443 pid:4242 comm:curl prog:/usr/bin/curl\n");
	memset(r.event.comm, 'x', sizeof(r.event.comm)); // unterminated
	EXPECT_NE(format_block_line(r).find("comm:xxxxxxxxxxxxxxxx prog"), std::string::npos);
	EXPECT_EQ(event_time_text(5000), "1970-01-01T00:00:00.5");
}

// What a reader of the log does to get the bytes back.
std::string unescape(const std::string &s)
{
	std::string out;
	for (size_t i = 0; i < s.size(); i++) {
		if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
			out += (char)std::stoi(s.substr(i + 2, 2), nullptr, 16);
			i += 3;
		} else {
			out += s[i];
		}
	}
	return out;
}

template <size_t N> void set(char (&f)[N], const std::string &v)
{
	memset(f, 0, N);
	memcpy(f, v.data(), std::min(v.size(), N - 1));
}

struct Fields {
	std::string comm, prog, url, hash;
};

// Text a user controls: none of it may break a line or the JSON around it.
const Fields kHostile[] = {
	{ "curl", "/usr/bin/curl", "example.com", "" },
	{ "", "", "", "" },
	{ "x\n1 2026", "/tmp/x\n1 2026-01-01T00:00:00.0 Blocking ip", "a\r\x1b[2J.example", "" },
	{ "back\\slash", "/tmp/\"quoted\" \\x41", "tab\tname", std::string(40, 'f') },
	{ "\xff\xfe", "/tmp/caf\xc3\xa9/\xc3(/\xed\xa0\x80/\xf4\x90\x80\x80", "\x7f\x01", "" },
	{ std::string(15, 'c'), "/" + std::string(4094, 'p'), std::string(255, 'u'), std::string(40, '0') },
};

TEST(BlockLine, UserTextCannotForgeALine)
{
	for (const Fields &f : kHostile) {
		event_payload r = record(1, 1);
		set(r.event.comm, f.comm);
		set(r.event.prog, f.prog);
		std::string line = format_block_line(r);
		ASSERT_FALSE(line.empty());
		EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
		EXPECT_NE(line.find(" comm:" + escape_text(f.comm) + " prog:" + escape_text(f.prog) + "\n"),
			  std::string::npos) << line;
		EXPECT_EQ(unescape(escape_text(f.prog)), f.prog);
	}
	EXPECT_EQ(escape_text("a\nb\\c\x7f\xc3\xa9"), "a\\x0ab\\x5cc\\x7f\xc3\xa9");
}

// Every kind of event and every hostile field set, as JSON, read back by
// jq: each line must parse, and its strings must decode to the bytes sent.
TEST(BlockJson, ParsesAndGivesBackTheBytes)
{
	TempDir dir;
	std::string lines;
	std::vector<Fields> want;
	const std::pair<uint32_t, uint32_t> kinds[] = { { 0, 6 }, { 0, 1 }, { 5, 5 }, { 3, 3 },
							{ 1, 1 }, { 2, 2 }, { 4, 4 }, { 7, 7 } };
	for (const Fields &f : kHostile)
		for (auto [type, kind] : kinds) {
			event_payload r = record(type, kind);
			set(r.event.comm, f.comm);
			set(r.event.prog, f.prog);
			set(r.event.url, f.url);
			set(r.event.hash, f.hash);
			if (kind != 3 && kind != 6)
				set_v4(&r, "192.0.2.7", 443);
			lines += format_block_json(r, "h\x01st");
			want.push_back({ f.comm.substr(0, 15), f.prog.substr(0, 4095),
					 kind == 3 ? f.url.substr(0, 255) : "", f.hash.substr(0, 40) });
		}
	lines += format_lost({ 3, 9, 12, 1234567890123456789ull }, log_format::kJson, "h");
	std::string in = dir.file("in.json", lines);
	FILE *p = popen(("jq -r '[.comm, .prog, .domain, .hash, .host, (.port // 0 | tostring),"
			 " (.lost // 0 | tostring), .time] | map(. // \"\") | join(\"\\t\")' " + in).c_str(), "r");
	ASSERT_TRUE(p);
	std::string out;
	char buf[8192];
	for (size_t n; (n = fread(buf, 1, sizeof(buf), p)) > 0;)
		out.append(buf, n);
	ASSERT_EQ(pclose(p), 0) << "jq refused a line:\n" << out;
	std::vector<std::string> rows;
	for (size_t b = 0, e; (e = out.find('\n', b)) != std::string::npos; b = e + 1)
		rows.push_back(out.substr(b, e - b));
	ASSERT_EQ(rows.size(), want.size() + 1);
	for (size_t i = 0; i < want.size(); i++) {
		std::vector<std::string> col;
		for (size_t b = 0, e;; b = e + 1) {
			e = rows[i].find('\t', b);
			col.push_back(unescape(rows[i].substr(b, e - b)));
			if (e == std::string::npos)
				break;
		}
		ASSERT_EQ(col.size(), 8u) << rows[i];
		EXPECT_EQ(col[0], want[i].comm) << rows[i];
		EXPECT_EQ(col[1], want[i].prog) << rows[i];
		EXPECT_EQ(col[2], want[i].url) << rows[i];
		EXPECT_EQ(col[3], want[i].hash) << rows[i];
		EXPECT_EQ(col[4], "h\x01st");
		EXPECT_EQ(col[5], i % 8 == 0 || i % 8 == 3 ? "0" : "443") << rows[i];
		EXPECT_EQ(col[7], "2009-02-13T23:31:30.123456Z");
	}
	EXPECT_EQ(rows.back(), "\t\t\t\th\t0\t7\t2009-02-13T23:31:30.123456Z");
}

TEST(LostLine, Text)
{
	setenv("TZ", "UTC", 1);
	tzset();
	EXPECT_EQ(format_lost({ 1001, 1612, 700, 5000 }, log_format::kText, "h"),
		  "1001-1612 1970-01-01T00:00:00.5 Lost 612 block events, 700 in all\n");
}

} // namespace
