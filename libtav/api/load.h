// Loading and unloading an instance's on-disk state.  tav_load runs in the
// init coroutine and performs every loading step in order; the first failure
// ends the load with its (positive) errno.  tav_unload runs in the fini
// coroutine of a writable instance and marks the superblock stopped.
#ifndef TAV_LOAD_H
#define TAV_LOAD_H

#include "instance.h"
#include "coroutine.h"

/* Initialises the in-memory tables of a new instance (nothing is loaded). */
void tav_instance_parts_init(tav *instance);
/* Releases everything tav_instance_parts_init and tav_load built, in the
 * destruction order; `uuid_text` (37 bytes) receives the superblock UUID text
 * for the lock release, or stays empty. */
void tav_instance_parts_destroy(tav *instance, char *uuid_text);
TAV_COROUTINE_FN int tav_load(tav *instance);
/* Whether the consistency check is due for this start (1) or not (0). */
TAV_COROUTINE_FN int tav_need_fsck(tav *instance);
/* The consistency check of the loaded instance: 0, -EFAULT (a used block is
 * marked free: the start must fail) or another negative errno. */
TAV_COROUTINE_FN int tav_fsck(tav *instance);
TAV_COROUTINE_FN int tav_unload(tav *instance);

#endif
