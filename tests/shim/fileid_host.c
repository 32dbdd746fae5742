// SPDX-License-Identifier: GPL-2.0
/* Host version of the path identity lookup, in the kernel's encoding. */
#include "kshim.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

int zt_path_identity(const char *path, u32 *dev, u64 *ino);

int zt_path_identity(const char *path, u32 *dev, u64 *ino)
{
	struct stat st;

	if (stat(path, &st))
		return -errno;
	*dev = (major(st.st_dev) << 20) | minor(st.st_dev);
	*ino = st.st_ino;
	return 0;
}
