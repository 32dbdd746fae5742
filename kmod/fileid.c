// SPDX-License-Identifier: GPL-2.0
/*
 * File identity of a named path. The path is looked up, not opened: an
 * open could block on a FIFO or act on a device node.
 */
#include <linux/fs.h>
#include <linux/namei.h>
#include <linux/path.h>
#include <linux/dcache.h>

#include "rule_lists.h"

int zt_path_identity(const char *path, u32 *dev, u64 *ino)
{
	struct inode *inode;
	struct path p;
	int ret;

	ret = kern_path(path, LOOKUP_FOLLOW, &p);
	if (ret)
		return ret;
	inode = d_backing_inode(p.dentry);
	if (!inode) {
		path_put(&p);
		return -ENOENT;
	}
	*dev = inode->i_sb->s_dev;
	*ino = inode->i_ino;
	path_put(&p);
	return 0;
}
