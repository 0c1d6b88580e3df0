// tav_standalone: one instance served as a FUSE file system.
//
// One thread runs libev's default loop; it delivers both the FUSE requests
// (the session descriptor, watched through the event driver) and the
// library's own descriptors.  Every request that needs the library becomes
// one asynchronous call whose callback sends the reply, so handlers never
// wait and no locks are needed.
//
// The daemon's state lives in ops.cc: the instance (null until its start
// has reported and again once shutdown has begun), the open-file handles the
// kernel holds, and the exit status.
#ifndef TAV_STANDALONE_H
#define TAV_STANDALONE_H

#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

#include "tav.h"

/* Configuration: one, on the stack of main; the FUSE session's user data. */
struct tav_config {
    ev_driver *driver;
    char *path;     /* device or volume path (-p); allocated by the option parser */
    char *ioengine; /* I/O engine name (-i); allocated by the option parser */
    int readonly;
    int debug;
};

extern const struct fuse_lowlevel_ops s_tav_ops;

/* The session and its descriptor's registration, so that shutdown can stop
 * reading requests at once.  Set by main before the loop runs. */
void standalone_set_session(struct fuse_session *se, struct tav_config *cfg, int fd_registered);
/* Stops watching the session descriptor (once). */
void standalone_stop_reading(void);

/* Starts shutdown once: stops reading requests, closes the handles the
 * kernel still holds, finishes the instance and breaks the loop when it is
 * gone (at once when there is none).  Safe to call again. */
void standalone_shutdown(void);

/* 0, or 1 when the instance could not be started or served. */
int standalone_exit_status(void);

#endif
