/*
 * hive_recover.h - the transaction logs beside a hive file that Windows
 * did not close cleanly (<hive>.LOG1, .LOG2, .LOG, any letter case,
 * none followed through a link): found, read and applied to a copy of
 * the hive in memory (hive_log.h), which this run then reads, and
 * changes, instead of the file.  Failures leave errno set.
 */
#ifndef VKM_HIVE_RECOVER_H
#define VKM_HIVE_RECOVER_H

#include "hive_internal.h"

/* Brings hive F, not closed cleanly and open as FD, up to date from its
 * logs.  1: done, F->image_fd the hive as recovered; 0: not done,
 * F->why.log (a LOG_ code of registry.h), F->why.log_name and
 * F->why.err say why; either way F->logs lists the logs found. */
int hive_recover(struct hive_file *f, int fd);

/* 1 when each log of F is still the file this run read; 0 when one
 * changed or is gone. */
int hive_logs_unchanged(const struct hive_file *f);

/* Opens for reading what this run reads of hive F: its file, no link
 * followed, or the copy its logs brought up to date.  The descriptor,
 * at the start, or -1 with errno set. */
int hive_open_content(const struct hive_file *f);

/* Closes what the recovery of F holds and forgets it. */
void hive_recover_forget(struct hive_file *f);

#endif
