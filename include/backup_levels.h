/*
 * backup_levels.h - backup level and job name from the option words.
 */
#ifndef BACKUP_LEVELS_H
#define BACKUP_LEVELS_H

#include "ark_zarafa.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Walk the option words of the record: "-j NAME" sets cpJobName (at most 100
 * characters), "-l LEVEL" sets the level flags (FULL, INCR, COPY; DIFF sets
 * INCR and iBackupLevelDIFF; any case). A value is examined as an option word in its turn, and a
 * later option overrides an earlier one. 1, or 0 after a "Warning:" when an
 * option lacks its value, a job name is too long or a level is unknown. */
int setup_backup_level(ARKZarafa *sZarafaStruct);

/* Report the level as one of "Backup level=COPY|INCR|FULL", or
 * "Error: Incorrect backup level" for an inconsistent set of flags. */
void print_backup_level(ARKZarafa *psZarafaStruct);

#ifdef __cplusplus
}
#endif

#endif /* BACKUP_LEVELS_H */
