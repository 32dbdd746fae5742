/* SPDX-License-Identifier: GPL-2.0 */
/*
 * A process's records of its program, gathered from the program's file.
 * Everything here may sleep (hashing reads the file).
 */
#ifndef ZENTROPE_EXEC_RECORD_H
#define ZENTROPE_EXEC_RECORD_H

#include <linux/types.h>
#include <linux/limits.h>

#include "utils.h"

struct file;

/* What the exec check learns of the program being started. */
struct exec_ident {
	u8 digest[SHA1_DIGEST_LEN];
	int len;
	int hashed;
	u32 dev;
	u64 ino;
};

/*
 * The records an exec will leave, written only once it can no longer
 * fail: a process whose exec fails goes on running its old program, and
 * keeps the records of that one. @path points into the work area.
 */
struct exec_record {
	const char *how;
	const char *path;
	struct exec_ident id;
	char short_name[NAME_MAX + 1];
	char work[];
};

/* The device and inode number records and rules name a file by. */
void file_identity(struct file *file, u32 *dev, u64 *ino);

/* The program @file holds, as its records name it; the path in @buf. */
int identify_binary(struct exec_record *rec, struct file *file, char *buf);

/* Writes @rec as the current process's records. */
void commit_exec_record(const struct exec_record *rec);

/*
 * Records the current process's program from its executable, for a
 * process that has no record (it was started before the module was
 * loaded, or an allocation failed): 0 or -errno.
 */
int record_current_exe(void);

#endif /* ZENTROPE_EXEC_RECORD_H */
