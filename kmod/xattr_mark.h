/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The cached-hash and verdict marks on files, read and written with the
 * raw extended-attribute calls and sealed to the file by the codec.
 */
#ifndef ZENTROPE_XATTR_MARK_H
#define ZENTROPE_XATTR_MARK_H

#include <linux/types.h>

#include "mark_codec.h"

struct file;
struct dentry;
struct inode;

/*
 * @rec is ZT_HASH_MARK_SIZE bytes. The writer expects fields 0 to 95
 * filled and seals @rec in place; the reader returns ZT_HASH_MARK_SIZE and
 * leaves the unmasked value (checksum zero) in @rec, or -EINVAL.
 */
int zentrope_setxattr_ima_xattr(struct file *file, struct dentry *dentry,
				struct inode *inode, u8 *rec);
int zentrope_getxattr_ima_xattr(struct file *file, struct dentry *dentry,
				struct inode *inode, u8 *rec);

/* The same for the verdict mark, @rec being ZT_EXIST_MARK_SIZE bytes. */
int zentrope_setxattr_exist_block_list_xattr(struct file *file,
					     struct dentry *dentry,
					     struct inode *inode, u8 *rec);
int zentrope_getxattr_exist_block_list_xattr(struct file *file,
					     struct dentry *dentry,
					     struct inode *inode, u8 *rec);

/* The identity a mark is sealed to, and the file that carries marks. */
void zt_inode_file_id(const struct inode *inode, struct zt_file_id *id);
struct dentry *zt_file_real_dentry(struct file *file);

#endif /* ZENTROPE_XATTR_MARK_H */
