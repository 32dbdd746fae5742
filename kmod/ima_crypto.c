// SPDX-License-Identifier: GPL-2.0
/*
 * SHA-1 of file content through the kernel crypto interface: a synchronous
 * transform allocated at start-up, an optional asynchronous one allocated
 * on first use, and the cached-hash mark that spares reading a file again
 * while it is unchanged.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/file.h>
#include <linux/slab.h>
#include <linux/gfp.h>
#include <linux/err.h>
#include <linux/atomic.h>
#include <linux/sched.h>
#include <linux/scatterlist.h>
#include <linux/string.h>
#include <linux/time64.h>
#include <crypto/hash.h>
#include <crypto/hash_info.h>

#include "compat.h"
#include "mark_codec.h"
#include "stats.h"
#include "utils.h"
#include "xattr_mark.h"
#include "ima_crypto.h"

/* Files are read in chunks of this many bytes. */
#define ZT_HASH_CHUNK 4096

unsigned long ima_ahash_minsize;
s64 ima_hash_maxsize = 33554432;
static atomic64_t ima_hash_lost = ATOMIC64_INIT(0);
static DEFINE_PER_CPU(u64, count_cal_file_hash);
static DEFINE_PER_CPU(u64, count_get_file_hash_from_xattr);

static const int ima_hash_algo = HASH_ALGO_SHA1;
static struct crypto_shash *ima_shash_tfm;
static struct crypto_ahash *ima_ahash_tfm;
/* Set once the asynchronous transform could not be had; not retried. */
static bool ima_ahash_unavailable;

struct zt_digest {
	u8 algo;
	u8 length;
	u8 reserved[2];
	u8 digest[ZT_MARK_DIGEST_MAX];
};

static u64 hash_lost_read(void)
{
	return (u64)atomic64_read(&ima_hash_lost);
}

static void hash_lost_reset(void)
{
	atomic64_set(&ima_hash_lost, 0);
}

struct zt_stat_file hash_lost_stat = {
	.read = hash_lost_read, .reset = hash_lost_reset,
};

u64 count_cal_file_hash_read(void)
{
	return zt_stat_sum(count_cal_file_hash);
}

u64 count_get_file_hash_from_xattr_read(void)
{
	return zt_stat_sum(count_get_file_hash_from_xattr);
}

int zentrope_init_ima_crypto(void)
{
	const char *name = hash_algo_name[ima_hash_algo];
	struct crypto_shash *tfm;

	tfm = crypto_alloc_shash(name, 0, 0);
	if (IS_ERR(tfm)) {
		pr_err("zentrope: %s Can not allocate %s (reason: %ld)\n",
		       __func__, name, PTR_ERR(tfm));
		return PTR_ERR(tfm);
	}
	if (crypto_shash_digestsize(tfm) > ZT_MARK_DIGEST_MAX) {
		crypto_free_shash(tfm);
		return -EINVAL;
	}
	ima_shash_tfm = tfm;
	return 0;
}

/* Runs once no hashing is in flight any more. */
int zentrope_exit_ima_crypto(void)
{
	if (ima_ahash_tfm)
		crypto_free_ahash(ima_ahash_tfm);
	ima_ahash_tfm = NULL;
	ima_ahash_unavailable = false;
	if (ima_shash_tfm)
		crypto_free_shash(ima_shash_tfm);
	ima_shash_tfm = NULL;
	return 0;
}

static struct crypto_ahash *ima_alloc_atfm(void)
{
	const char *name = hash_algo_name[ima_hash_algo];
	struct crypto_ahash *tfm, *old;

	tfm = smp_load_acquire(&ima_ahash_tfm);
	if (tfm || READ_ONCE(ima_ahash_unavailable))
		return tfm;
	tfm = crypto_alloc_ahash(name, 0, 0);
	if (IS_ERR(tfm)) {
		pr_err("zentrope: %s Can not allocate %s (reason: %d)\n",
		       "ima_alloc_atfm", name, (int)PTR_ERR(tfm));
		WRITE_ONCE(ima_ahash_unavailable, true);
		return NULL;
	}
	if (crypto_ahash_digestsize(tfm) > ZT_MARK_DIGEST_MAX) {
		crypto_free_ahash(tfm);
		WRITE_ONCE(ima_ahash_unavailable, true);
		return NULL;
	}
	/* Two first users may race; the loser frees its own transform. */
	old = cmpxchg(&ima_ahash_tfm, NULL, tfm);
	if (old) {
		crypto_free_ahash(tfm);
		return old;
	}
	return tfm;
}

static int read_chunk(struct file *file, void *buf, size_t len, loff_t off)
{
	ssize_t got = kernel_read(file, buf, len, &off);

	if (got >= 0 && (size_t)got == len)
		return 0;
	return got < 0 ? (int)got : -EINVAL;
}

/*
 * One update per chunk. With two buffers the next chunk is read while the
 * previous update may still run; with one, each update is waited for
 * before its buffer is reused. @pending always holds the result of the
 * last submitted update, so no exit leaves an update running on a buffer
 * that is about to be freed.
 */
static int ahash_feed(struct file *file, loff_t size, struct ahash_request *req,
		      struct crypto_wait *wait, u8 **rbuf)
{
	struct scatterlist sg[1];
	int active = 0, pending = 0, rc;
	loff_t offset;
	size_t len;

	for (offset = 0; offset < size; offset += len) {
		len = min_t(loff_t, size - offset, ZT_HASH_CHUNK);
		if (!rbuf[1] && offset) {
			rc = crypto_wait_req(pending, wait);
			pending = 0;
			if (rc)
				return rc;
		}
		rc = read_chunk(file, rbuf[active], len, offset);
		if (rc) {
			crypto_wait_req(pending, wait);
			return rc;
		}
		if (rbuf[1] && offset) {
			rc = crypto_wait_req(pending, wait);
			pending = 0;
			if (rc)
				return rc;
		}
		sg_init_one(&sg[0], rbuf[active], len);
		ahash_request_set_crypt(req, sg, NULL, len);
		pending = crypto_ahash_update(req);
		if (rbuf[1])
			active = !active;
		cond_resched();
	}
	return crypto_wait_req(pending, wait);
}

static int ahash_run(struct file *file, loff_t size, struct ahash_request *req,
		     struct crypto_wait *wait, struct zt_digest *hash)
{
	u8 *rbuf[2] = { NULL, NULL };
	int rc;

	rc = crypto_wait_req(crypto_ahash_init(req), wait);
	if (rc)
		return rc;
	rbuf[0] = (u8 *)__get_free_page(GFP_KERNEL);
	if (!rbuf[0])
		return -ENOMEM;
	if (size > ZT_HASH_CHUNK)
		rbuf[1] = (u8 *)__get_free_page(GFP_KERNEL | __GFP_NOWARN);
	rc = ahash_feed(file, size, req, wait, rbuf);
	free_page((unsigned long)rbuf[0]);
	if (rbuf[1])
		free_page((unsigned long)rbuf[1]);
	if (rc)
		return rc;
	ahash_request_set_crypt(req, NULL, hash->digest, 0);
	return crypto_wait_req(crypto_ahash_final(req), wait);
}

static int hash_file_ahash(struct file *file, loff_t size,
			   struct zt_digest *hash)
{
	struct crypto_ahash *tfm = ima_alloc_atfm();
	struct ahash_request *req;
	struct crypto_wait wait;
	int rc;

	if (!tfm)
		return -ENOENT;
	req = ahash_request_alloc(tfm, GFP_KERNEL);
	if (!req)
		return -ENOMEM;
	crypto_init_wait(&wait);
	ahash_request_set_callback(req, CRYPTO_TFM_REQ_MAY_BACKLOG |
				   CRYPTO_TFM_REQ_MAY_SLEEP,
				   crypto_req_done, &wait);
	rc = ahash_run(file, size, req, &wait, hash);
	ahash_request_free(req);
	return rc;
}

static int shash_feed(struct file *file, loff_t size, struct shash_desc *desc)
{
	loff_t offset = 0;
	ssize_t got;
	u8 *rbuf;
	int rc = 0;

	rbuf = kzalloc(ZT_HASH_CHUNK, GFP_KERNEL);
	if (!rbuf)
		return -ENOMEM;
	while (offset < size) {
		loff_t pos = offset;

		got = kernel_read(file, rbuf,
				  min_t(loff_t, size - offset, ZT_HASH_CHUNK),
				  &pos);
		if (got <= 0) {
			rc = got ? (int)got : -EINVAL;
			break;
		}
		rc = crypto_shash_update(desc, rbuf, got);
		if (rc)
			break;
		offset += got;
		cond_resched();
	}
	kfree(rbuf);
	return rc;
}

static int hash_file_shash(struct file *file, loff_t size,
			   struct zt_digest *hash)
{
	SHASH_DESC_ON_STACK(desc, ima_shash_tfm);
	int rc;

	if (!ima_shash_tfm)
		return -ENOENT;
	desc->tfm = ima_shash_tfm;
	rc = crypto_shash_init(desc);
	if (!rc)
		rc = shash_feed(file, size, desc);
	if (!rc)
		rc = crypto_shash_final(desc, hash->digest);
	shash_desc_zero(desc);
	return rc;
}

/* Only files that an in-kernel read can serve are hashed. */
static bool readable_for_hashing(const struct file *file)
{
	const struct file_operations *fops = file->f_op;

	return fops && fops->read_iter && !fops->read;
}

int calc_file_hash(struct file *file, u8 *out, int size)
{
	struct zt_digest hash = {
		.algo = ima_hash_algo,
		.length = hash_digest_size[ima_hash_algo],
	};
	loff_t i_size;
	int rc = -EINVAL;

	if (!file || !out || size <= 0 || !(file->f_mode & FMODE_READ))
		return 0;
	if (file->f_flags & O_DIRECT)
		return 0;
	i_size = i_size_read(file_inode(file));
	if (i_size <= 0)
		return 0;
	if (i_size > READ_ONCE(ima_hash_maxsize)) {
		atomic64_inc(&ima_hash_lost);
		return 0;
	}
	if (!readable_for_hashing(file))
		return 0;
	if (ima_ahash_minsize && (u64)i_size >= ima_ahash_minsize)
		rc = hash_file_ahash(file, i_size, &hash);
	if (rc)
		rc = hash_file_shash(file, i_size, &hash);
	if (rc)
		return 0;
	size = min_t(int, hash.length, size);
	memcpy(out, hash.digest, size);
	return size;
}

static void hash_stats_debug(void)
{
	u64 from_mark = count_get_file_hash_from_xattr_read();
	u64 computed = count_cal_file_hash_read();

	pr_debug("zentrope: %s count_get_file_hash_from_xattr %lu count_cal_file_hash %lu\n",
		 "get_file_hash", (unsigned long)from_mark,
		 (unsigned long)computed);
}

/* The digest from a trusted cached-hash mark, or 0. */
static int hash_from_mark(struct file *file, struct dentry *dentry,
			  struct inode *inode, u8 *out, int size)
{
	u8 rec[ZT_HASH_MARK_SIZE];
	struct zt_hash_info info;
	struct zt_file_id id;
	int n;

	if (zentrope_getxattr_ima_xattr(file, dentry, inode, rec) !=
	    ZT_HASH_MARK_SIZE)
		return 0;
	zt_hash_mark_decode(rec, &info);
	zt_inode_file_id(inode, &id);
	if (!zt_hash_mark_trusted(&info, &id))
		return 0;
	n = min_t(u32, info.digest_len, size);
	memcpy(out, info.digest, n);
	return n;
}

/*
 * The mark's time is taken before the content is read, and under the
 * inode lock so that no write is half done at that moment. Any write that
 * the hash may have missed then leaves the file a modification time not
 * earlier than the mark's, and such a mark is never trusted.
 */
static struct timespec64 mark_time(struct inode *inode)
{
	struct timespec64 now;

	inode_lock(inode);
	now = current_time(inode);
	inode_unlock(inode);
	return now;
}

static void write_hash_mark(struct file *file, struct dentry *dentry,
			    struct inode *inode, u8 *rec)
{
	int rc;

	inode_lock(inode);
	rc = zentrope_setxattr_ima_xattr(file, dentry, inode, rec);
	inode_unlock(inode);
	if (rc && rc != -EROFS)
		pr_debug("zentrope: %s setxattr %pd\n", "get_file_hash",
			 dentry);
}

int get_file_hash(struct file *file, u8 *out, int size, int *hashed)
{
	u8 digest[ZT_MARK_DIGEST_MAX];
	u8 rec[ZT_HASH_MARK_SIZE];
	struct timespec64 now;
	struct dentry *dentry;
	struct inode *inode;
	int len, n;

	if (!out || size <= 0)
		return 0;
	dentry = zt_file_real_dentry(file);
	inode = dentry ? d_inode(dentry) : NULL;
	if (!inode)
		return 0;
	n = hash_from_mark(file, dentry, inode, out, size);
	if (n > 0) {
		if (hashed)
			*hashed = 1;
		if (zt_stat_inc_every(count_get_file_hash_from_xattr, 100))
			hash_stats_debug();
		return n;
	}
	if (zt_stat_inc_every(count_cal_file_hash, 100))
		hash_stats_debug();
	now = mark_time(inode);
	len = calc_file_hash(file, digest, sizeof(digest));
	if (len <= 0)
		return 0;
	zt_hash_mark_encode(rec, now.tv_sec, now.tv_nsec, digest, len);
	n = min(len, size);
	memcpy(out, digest, n);
	write_hash_mark(file, dentry, inode, rec);
	return n;
}

/*
 * Times set back to what the mark recorded would make an old digest look
 * current: a valid mark is flagged stale, so the next judgement hashes.
 */
void hash_mark_stale(struct dentry *dentry)
{
	u8 rec[ZT_HASH_MARK_SIZE];
	struct zt_hash_info info;
	struct inode *inode;
	int ret;

	dentry = dentry ? zt_d_real(dentry) : NULL;
	inode = dentry ? d_inode(dentry) : NULL;
	if (!inode)
		return;
	inode_lock(inode);
	if (zentrope_getxattr_ima_xattr(NULL, dentry, inode, rec) !=
	    ZT_HASH_MARK_SIZE)
		goto out;
	zt_hash_mark_decode(rec, &info);
	if (info.stale)
		goto out;
	zt_hash_mark_set_stale(rec, 1);
	ret = zentrope_setxattr_ima_xattr(NULL, dentry, inode, rec);
	if (ret && ret != -EROFS)
		pr_debug("zentrope: %s setxattr %pd", "fh_utimes_common",
			 dentry);
out:
	inode_unlock(inode);
}

int get_filename_hash(const char *path, struct file *file, u8 *out, int size,
		      int *hashed)
{
	u8 digest[SHA1_DIGEST_LEN];
	struct file *f = file;
	int n = 0;

	if (!out || size <= 0 || (!file && !path))
		return 0;
	if (!f) {
		/* Never wait on a FIFO nor acquire a controlling tty. */
		f = filp_open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0);
		if (IS_ERR(f))
			return 0;
	}
	if (S_ISREG(file_inode(f)->i_mode))
		n = get_file_hash(f, digest, sizeof(digest), hashed);
	if (f != file)
		filp_close(f, NULL);
	n = min(n, size);
	memcpy(out, digest, n);
	return n;
}
