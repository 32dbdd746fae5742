/* SPDX-License-Identifier: GPL-2.0 */
#ifndef ZENTROPE_SYSCTL_H
#define ZENTROPE_SYSCTL_H

int zentrope_init_sysctl(void);
void zentrope_exit_sysctl(void);

#endif /* ZENTROPE_SYSCTL_H */
