// SPDX-License-Identifier: GPL-2.0
/*
 * Test-only module: raises block events through the real channel code
 * (msg.c, event_fmt.c, the real symbol lookup) on request, for the VM
 * tests. Built with `make ZT_TEST=1`; it registers the same connector id
 * as zentrope.ko, so the two must not be loaded together. Start-up and
 * removal follow the order zentrope.ko uses for the channel.
 *
 * /sys/kernel/debug/zt_evtest/
 *   ctl    one command per write; "-" stands for "none":
 *            hash PATH HEX             send_block_hash_event
 *            info NAME                 send_block_prog_info_event
 *            strict KIND NAME FILE HEX send_strict_block_event (FILE opened)
 *            ipv4 TYPE KIND ADDR PORT PROG, ipv6 ...  an address event
 *            dns URL PROG              a domain event
 *            raw TYPE KIND             an event of any class, prog "raw"
 *            len N                     send_block_event with length N
 *            ack CODE ACK              cn_zentrope_ack
 *            ulog V, quite V           the two switches
 *   state  "portid P", "seq S", "last R" (result of the last len command),
 *          "ulog U", "quite Q", one per line
 */
#include <linux/module.h>
#include <linux/debugfs.h>
#include <linux/fs.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/uaccess.h>
#include <linux/inet.h>
#include <linux/in.h>
#include <linux/in6.h>

#include "../utils.c"
#include "../event_fmt.c"
#include "../ftrace_hook.c"
#include "../msg.c"

#define CTL_MAX 8192
#define DIGEST_MAX 32
#define NARGS 7

static struct dentry *zt_dir;
static int last_result;

static const char *opt(const char *s)
{
	return strcmp(s, "-") ? s : NULL;
}

/* Up to @max space-separated words of @line into @argv. */
static int split(char *line, char **argv, int max)
{
	int n = 0;
	char *w;

	while (n < max && (w = strsep(&line, " \n"))) {
		if (*w)
			argv[n++] = w;
	}
	return n;
}

static int parse_u32(const char *s, u32 *v)
{
	return kstrtou32(s, 0, v);
}

/* Digest text ("-" for none) to bytes; the length, or -EINVAL. */
static int parse_digest(const char *hex, u8 *out)
{
	size_t n;

	if (!opt(hex))
		return 0;
	n = strlen(hex);
	if (n % 2 || n / 2 > DIGEST_MAX || hex2bin(out, hex, n / 2))
		return -EINVAL;
	return n / 2;
}

static int cmd_hash(char **argv)
{
	u8 digest[DIGEST_MAX];
	int len = parse_digest(argv[2], digest);

	if (len < 0)
		return len;
	send_block_hash_event(opt(argv[1]), len ? digest : NULL, len);
	return 0;
}

static int cmd_strict(char **argv)
{
	u8 digest[DIGEST_MAX];
	struct file *file = NULL;
	u32 kind;
	int len;

	if (kstrtou32(argv[1], 0, &kind))
		return -EINVAL;
	len = parse_digest(argv[4], digest);
	if (len < 0)
		return len;
	if (opt(argv[3])) {
		file = filp_open(argv[3], O_RDONLY, 0);
		if (IS_ERR(file))
			return PTR_ERR(file);
	}
	send_strict_block_event(kind, opt(argv[2]), file,
				len ? digest : NULL, len);
	if (file)
		filp_close(file, NULL);
	return 0;
}

/* Reserved and filled with the current task: the common part of a builder. */
static struct block_event *new_event(const char *type, const char *kind)
{
	struct block_event *ev;
	u32 t, k;

	if (parse_u32(type, &t) || parse_u32(kind, &k))
		return ERR_PTR(-EINVAL);
	ev = block_event_buf_reserve();
	if (!ev)
		return ERR_PTR(-ENOMEM);
	ev->type = t;
	ev->kind = k;
	block_event_fill_current(ev);
	return ev;
}

/* As the connection filter copies it: a whole socket address. */
static int fill_addr(struct block_event *ev, int v6, const char *addr,
		     const char *port)
{
	struct sockaddr_storage ss = {};
	struct sockaddr_in *in4 = (struct sockaddr_in *)&ss;
	struct sockaddr_in6 *in6 = (struct sockaddr_in6 *)&ss;
	u16 p;

	if (kstrtou16(port, 0, &p))
		return -EINVAL;
	if (v6) {
		in6->sin6_family = AF_INET6;
		in6->sin6_port = htons(p);
		if (!in6_pton(addr, -1, in6->sin6_addr.s6_addr, -1, NULL))
			return -EINVAL;
	} else {
		in4->sin_family = AF_INET;
		in4->sin_port = htons(p);
		if (!in4_pton(addr, -1, (u8 *)&in4->sin_addr.s_addr, -1, NULL))
			return -EINVAL;
	}
	memcpy(ev->addr, &ss, sizeof(ev->addr));
	return 0;
}

static int cmd_net(char **argv, int v6)
{
	struct block_event *ev = new_event(argv[1], argv[2]);
	struct event_identity id = { .path = opt(argv[5]) };
	int ret;

	if (IS_ERR(ev))
		return PTR_ERR(ev);
	ret = fill_addr(ev, v6, argv[3], argv[4]);
	if (ret) {
		kmem_cache_free(block_event_cache, ev);
		return ret;
	}
	event_set_identity(ev, &id);
	block_event_send(ev);
	return 0;
}

static int cmd_dns(char **argv)
{
	struct block_event *ev = new_event("3", "3");
	struct event_identity id = { .path = opt(argv[2]) };

	if (IS_ERR(ev))
		return PTR_ERR(ev);
	strscpy(ev->url, argv[1], sizeof(ev->url));
	event_set_identity(ev, &id);
	block_event_send(ev);
	return 0;
}

static int cmd_raw(char **argv)
{
	struct block_event *ev = new_event(argv[1], argv[2]);

	if (IS_ERR(ev))
		return PTR_ERR(ev);
	event_set_prog(ev, "raw");
	block_event_send(ev);
	return 0;
}

static int cmd_len(char **argv)
{
	struct block_event *ev = new_event("0", "6");
	int len;

	if (IS_ERR(ev))
		return PTR_ERR(ev);
	if (kstrtoint(argv[1], 0, &len)) {
		kmem_cache_free(block_event_cache, ev);
		return -EINVAL;
	}
	memset(ev->prog, 'L', sizeof(ev->prog) - 1);
	WRITE_ONCE(last_result, send_block_event(ev, len));
	kmem_cache_free(block_event_cache, ev);
	return 0;
}

static int cmd_ack(char **argv)
{
	u32 code, ack;

	if (parse_u32(argv[1], &code) || parse_u32(argv[2], &ack))
		return -EINVAL;
	cn_zentrope_ack(code, 0, ack);
	return 0;
}

static int cmd_switch(int *sw, const char *v)
{
	int val;

	if (kstrtoint(v, 0, &val))
		return -EINVAL;
	WRITE_ONCE(*sw, val);
	return 0;
}

struct command {
	const char *name;
	int argc;
	int (*run)(char **argv);
};

static int run_ipv4(char **argv) { return cmd_net(argv, 0); }
static int run_ipv6(char **argv) { return cmd_net(argv, 1); }
static int run_info(char **argv)
{
	send_block_prog_info_event(opt(argv[1]));
	return 0;
}
static int run_ulog(char **argv) { return cmd_switch(&ulog, argv[1]); }
static int run_quite(char **argv) { return cmd_switch(&quite, argv[1]); }

static const struct command commands[] = {
	{ "hash", 3, cmd_hash },     { "info", 2, run_info },
	{ "strict", 5, cmd_strict }, { "ipv4", 6, run_ipv4 },
	{ "ipv6", 6, run_ipv6 },     { "dns", 3, cmd_dns },
	{ "raw", 3, cmd_raw },	     { "len", 2, cmd_len },
	{ "ack", 3, cmd_ack },	     { "ulog", 2, run_ulog },
	{ "quite", 2, run_quite },
};

static int run_command(char *line)
{
	char *argv[NARGS];
	int argc = split(line, argv, NARGS), i;

	for (i = 0; argc && i < ARRAY_SIZE(commands); i++) {
		if (strcmp(argv[0], commands[i].name))
			continue;
		if (argc != commands[i].argc)
			return -EINVAL;
		return commands[i].run(argv);
	}
	return -EINVAL;
}

static ssize_t ctl_write(struct file *f, const char __user *ubuf, size_t len,
			 loff_t *ppos)
{
	char *line;
	int ret;

	if (!len || len > CTL_MAX)
		return -EINVAL;
	line = memdup_user_nul(ubuf, len);
	if (IS_ERR(line))
		return PTR_ERR(line);
	ret = run_command(line);
	kfree(line);
	return ret ? ret : len;
}

static ssize_t state_read(struct file *f, char __user *ubuf, size_t len,
			  loff_t *ppos)
{
	char text[160];
	int n;

	n = scnprintf(text, sizeof(text),
		      "portid %lld\nseq %lld\nlast %d\nulog %d\nquite %d\n",
		      READ_ONCE(portid_pid),
		      (long long)atomic64_read(&seq_zentrope_event),
		      READ_ONCE(last_result), READ_ONCE(ulog), READ_ONCE(quite));
	return simple_read_from_buffer(ubuf, len, ppos, text, n);
}

static const struct file_operations ctl_fops = {
	.owner = THIS_MODULE,
	.write = ctl_write,
};

static const struct file_operations state_fops = {
	.owner = THIS_MODULE,
	.read = state_read,
};

static int __init zt_evtest_init(void)
{
	int ret;

	block_event_cache = kmem_cache_create("block_event_cache",
					      BLOCK_EVENT_SIZE, 0, 0, NULL);
	if (!block_event_cache)
		return -ENOMEM;
	ret = init_zentrope_msg();
	if (ret < 0) {
		kmem_cache_destroy(block_event_cache);
		return ret == -1 ? -ENOENT : ret;
	}
	zt_dir = debugfs_create_dir("zt_evtest", NULL);
	debugfs_create_file("ctl", 0200, zt_dir, NULL, &ctl_fops);
	debugfs_create_file("state", 0400, zt_dir, NULL, &state_fops);
	return 0;
}

static void __exit zt_evtest_exit(void)
{
	debugfs_remove_recursive(zt_dir);
	cn_zentrope_ack(ZT_ACK_UNLOAD, atomic64_inc_return(&seq_zentrope_event),
			~0U);
	exit_zentrope_msg();
	kmem_cache_destroy(block_event_cache);
}

module_init(zt_evtest_init);
module_exit(zt_evtest_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Zentrope block-event channel test driver");
/* The symbol lookup's last fallback needs a live-patch module. */
MODULE_INFO(livepatch, "Y");
