#include "reload.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <array>
#include <optional>
#include <set>

#include "kernel_io.h"
#include "log.h"
#include "push.h"

namespace {

using key = std::optional<std::string>;
using digest = std::array<unsigned char, 20>;

constexpr size_t kDigestsPerDel = 100;

// The module drops empty labels when it encodes a name.
key url_key(const std::string &t)
{
	std::string k;
	for (const std::string &label : split(t, '.'))
		k += (k.empty() ? "" : ".") + label;
	return k.empty() ? key() : key(k);
}

key port_key(const std::string &t)
{
	char *end;
	errno = 0;
	long long v = strtoll(t.c_str(), &end, 10);
	if (errno || *end || end == t.c_str() || v < 0)
		return std::nullopt;
	return std::to_string((unsigned)(uint16_t)v);
}

key address_key(const std::string &t)
{
	unsigned char buf[17];
	if (inet_pton(AF_INET, t.c_str(), buf + 1) == 1) {
		buf[0] = 4;
		return std::string((char *)buf, 5);
	}
	if (inet_pton(AF_INET6, t.c_str(), buf + 1) == 1) {
		buf[0] = 6;
		return std::string((char *)buf, 17);
	}
	return std::nullopt;
}

key token_key(list_kind kind, const std::string &t)
{
	switch (kind) {
	case list_kind::kUrl:
		return url_key(t);
	case list_kind::kPort:
		return port_key(t);
	case list_kind::kAddress:
		return address_key(t);
	default:
		return t;
	}
}

std::optional<digest> hex_digest(const std::string &tok)
{
	std::string hex = tok.substr(0, tok.find(':'));
	digest d;
	if (hex.size() != 2 * d.size())
		return std::nullopt;
	for (size_t i = 0; i < d.size(); i++) {
		unsigned v;
		if (!isxdigit((unsigned char)hex[2 * i]) ||
		    !isxdigit((unsigned char)hex[2 * i + 1]) ||
		    sscanf(hex.c_str() + 2 * i, "%2x", &v) != 1)
			return std::nullopt;
		d[i] = (unsigned char)v;
	}
	return d;
}

std::string digest_hex(const digest &d)
{
	static const char x[] = "0123456789abcdef";
	std::string s;
	for (unsigned char c : d) {
		s += x[c >> 4];
		s += x[c & 15];
	}
	return s;
}

// Adds the missing entries; a full list is tried again after the deletes
// have made room. Returns 0, -1 or kPushFull.
struct adder {
	const ctl_file &ctl;
	std::vector<std::string> retry;
	int ret = 0;

	void add(const std::string &entry, bool first)
	{
		int r = write_command(ctl, "ADD " + entry, first);
		if (!r) {
			log_verbose("Add %s %s config SUCC\n", ctl.label, entry.c_str());
			return;
		}
		if (r == kPushFull && first)
			retry.push_back(entry);
		else if (ret != -1)
			ret = r;
	}
};

void delete_texts(const ctl_file &ctl, const std::vector<std::string> &texts)
{
	for (const std::string &t : texts)
		if (!write_command(ctl, "DEL " + t))
			log_verbose("Del %s %s config SUCC\n", ctl.label, t.c_str());
}

int apply_list(const ctl_file &ctl, list_kind kind, rule_list *want,
	       const char *msg)
{
	std::string dump;
	if (!kio_read_all(ctl.path, &dump)) {
		log_err("read %s err!\n", ctl.path);
		return -1;
	}
	list_diff d = diff_list(kind, *want, dump);
	want->items.clear();
	adder a{ ctl, {} };
	for (const std::string &e : d.add)
		a.add(e, true);
	if (a.ret < 0 && a.ret != kPushFull) {
		log_err(msg, ctl.path);
		return a.ret;
	}
	delete_texts(ctl, d.del);
	for (const std::string &e : a.retry)
		a.add(e, false);
	return 0;
}

// Both families share one limit: all adds, then all deletes, then retries.
int apply_addresses(rule_list *want)
{
	rule_list v4, v6;
	for (std::string &a : want->items)
		(is_ipv4_text(a) ? v4 : v6).items.push_back(std::move(a));
	want->items.clear();
	struct fam {
		const ctl_file &ctl;
		rule_list *want;
		list_diff d;
	} fams[] = { { kCtlIpv4, &v4, {} }, { kCtlIpv6, &v6, {} } };
	for (fam &f : fams) {
		std::string dump;
		if (!kio_read_all(f.ctl.path, &dump)) {
			log_err("read %s err!\n", f.ctl.path);
			return -1;
		}
		f.d = diff_list(list_kind::kAddress, *f.want, dump);
	}
	adder adders[] = { { kCtlIpv4, {} }, { kCtlIpv6, {} } };
	int failed = 0;
	for (int i = 0; i < 2; i++) {
		for (const std::string &e : fams[i].d.add)
			adders[i].add(e, true);
		failed |= adders[i].ret == -1;
	}
	if (failed)
		return -1;
	for (int i = 0; i < 2; i++)
		delete_texts(fams[i].ctl, fams[i].d.del);
	for (int i = 0; i < 2; i++)
		for (const std::string &e : adders[i].retry)
			adders[i].add(e, false);
	return 0;
}

bool contains(const std::vector<digest> &sorted, const digest &d)
{
	return std::binary_search(sorted.begin(), sorted.end(), d);
}

// Writes digests to the feed in chunks of 1000, on one descriptor.
int feed_digests(const std::vector<digest> &ds)
{
	if (ds.empty())
		return 0;
	int fd = g_kio->open(kHashBinPath, O_WRONLY);
	if (fd < 0) {
		log_err("open write file:%s err!\n", kHashBinPath);
		return -1;
	}
	int ret = 0;
	for (size_t i = 0; i < ds.size() && !ret; i += 1000) {
		size_t n = std::min<size_t>(1000, ds.size() - i) * 20;
		if (g_kio->write(fd, ds[i].data(), n) != (ssize_t)n)
			ret = -1;
	}
	g_kio->close(fd);
	return ret;
}

void delete_digests(const std::vector<digest> &ds)
{
	for (size_t i = 0; i < ds.size(); i += kDigestsPerDel) {
		std::string cmd = "DEL";
		for (size_t j = i; j < ds.size() && j < i + kDigestsPerDel; j++)
			cmd += " " + digest_hex(ds[j]);
		write_command(kCtlHash, cmd);
	}
	if (!ds.empty())
		log_verbose("Del %s %zu digests config SUCC\n", kCtlHash.label,
			    ds.size());
}


void add_bin_file(const opt_path &p, std::string *raw)
{
	if (!p || access(p->c_str(), F_OK))
		return;
	std::string bytes;
	if (!kio_read_all(p->c_str(), &bytes)) {
		log_err("open read file:%s err!\n", p->c_str());
		return;
	}
	raw->append(bytes, 0, bytes.size() / 20 * 20);
}

std::vector<digest> digests_of(const std::string &raw)
{
	std::vector<digest> out(raw.size() / 20);
	for (size_t i = 0; i < out.size(); i++)
		memcpy(out[i].data(), raw.data() + 20 * i, 20);
	return out;
}

// The text digests and both binary files against the store's own records.
// The store keeps the order they were fed in, so an unchanged set is
// recognised by one comparison, without sorting a million digests.
int apply_digests(daemon_config *cfg)
{
	std::string have_raw, want_raw;
	if (!kio_read_all(kHashBinPath, &have_raw)) {
		log_err("read %s err!\n", kHashBinPath);
		return -1;
	}
	bool all_digests = true;
	for (const std::string &e : cfg->block_hash.items)
		for (const std::string &t : split(e, ' ')) {
			std::optional<digest> d = hex_digest(t);
			if (d)
				want_raw.append((const char *)d->data(), 20);
			all_digests &= d.has_value();
		}
	size_t text_bytes = want_raw.size();
	add_bin_file(cfg->block_hash_bin_file, &want_raw);
	add_bin_file(cfg->usr_block_hash_bin_file, &want_raw);
	if (all_digests && want_raw == have_raw.substr(0, have_raw.size() / 20 * 20)) {
		cfg->block_hash.items.clear();
		return 0;
	}

	std::vector<digest> have = digests_of(have_raw);
	std::sort(have.begin(), have.end());
	adder a{ kCtlHash, {} };
	for (const std::string &e : cfg->block_hash.items) {
		bool present = true;
		for (const std::string &t : split(e, ' ')) {
			std::optional<digest> d = hex_digest(t);
			present &= d && contains(have, *d);
		}
		if (!present)
			a.add(e, true);
	}
	cfg->block_hash.items.clear();
	if (a.ret == -1) {
		log_err("write block hash to %s err!\n", kCtlHash.path);
		return -1;
	}
	std::vector<digest> want = digests_of(want_raw), missing;
	for (size_t i = text_bytes / 20; i < want.size(); i++)
		if (!contains(have, want[i]))
			missing.push_back(want[i]);
	if (feed_digests(missing) == 0 && !missing.empty())
		log_verbose("Write to %s %zu digests SUCC\n", kHashBinPath,
			    missing.size());
	std::sort(want.begin(), want.end());
	std::vector<digest> stale;
	for (const digest &d : have)
		if (!contains(want, d))
			stale.push_back(d);
	delete_digests(stale);
	for (const std::string &e : a.retry)
		a.add(e, false);
	return 0;
}

} // namespace

list_diff diff_list(list_kind kind, const rule_list &want, const std::string &dump)
{
	std::set<std::string> have, wanted;
	std::vector<std::pair<std::string, std::string>> lines;
	for (const std::string &line : split(dump, '\n')) {
		// Program identities read back as "<path> dev:M,m inode:N"; a
		// name holds no space, and the name line goes with it.
		if (line.find(' ') != std::string::npos)
			continue;
		key k = token_key(kind, line);
		if (k && have.insert(*k).second)
			lines.emplace_back(*k, line);
	}
	list_diff d;
	for (const std::string &e : want.items) {
		bool present = true;
		for (const std::string &t : split(e, ' ')) {
			key k = token_key(kind, t);
			if (k)
				wanted.insert(*k);
			present &= k && have.count(*k);
		}
		if (!present)
			d.add.push_back(e);
	}
	for (const auto &[k, text] : lines)
		if (!wanted.count(k))
			d.del.push_back(text);
	return d;
}

int reload_apply(daemon_config *cfg, bool interp_only)
{
	int r = apply_list(kCtlInterp, list_kind::kName, &cfg->interp,
			   "write interp prog to %s err!\n");
	if (r || interp_only)
		return r;
	if ((r = apply_list(kCtlProg, list_kind::kName, &cfg->block_prog,
			    "write block prog to %s err!\n")) ||
	    (r = apply_digests(cfg)) ||
	    (r = apply_list(kCtlUrl, list_kind::kUrl, &cfg->url,
			    "write block url to %s err!\n")) ||
	    (r = apply_list(kCtlPort, list_kind::kPort, &cfg->port,
			    "write block port to %s err!\n")))
		return r;
	return apply_addresses(&cfg->ip);
}
