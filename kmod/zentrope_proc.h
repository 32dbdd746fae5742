/* SPDX-License-Identifier: GPL-2.0 */
#ifndef ZENTROPE_PROC_H
#define ZENTROPE_PROC_H

int zentrope_init_proc(void);
void zentrope_exit_proc(void);

#endif /* ZENTROPE_PROC_H */
