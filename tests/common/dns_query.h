// A DNS query as a client sends it (RFC 1035), for the tests of both tiers.
#ifndef ZT_TESTS_DNS_QUERY_H
#define ZT_TESTS_DNS_QUERY_H

#include <string>
#include <vector>

namespace zt {

// A query for @names (A, class IN); @qd overrides the question count and
// @flags is header byte 2 (0x01: recursion desired).
inline std::string Query(const std::vector<std::string> &names, int qd = -1,
			 unsigned char flags = 0x01)
{
	if (qd < 0)
		qd = names.size();
	std::string q = { 0x12, 0x34, char(flags), 0, char(qd >> 8), char(qd), 0, 0, 0, 0, 0, 0 };
	for (const std::string &n : names) {
		for (size_t s = 0, e; s <= n.size(); s = e + 1) {
			e = n.find('.', s);
			e = e == std::string::npos ? n.size() : e;
			q += char(e - s) + n.substr(s, e - s);
		}
		q += std::string("\0\0\1\0\1", 5);
	}
	return q;
}

} // namespace zt

#endif // ZT_TESTS_DNS_QUERY_H
