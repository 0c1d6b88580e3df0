// The libev adaptor of the event driver, used by the tools and the tests.
//
// evdriver_env() returns a driver whose registrations watch descriptors on
// libev's default loop; the program runs that loop on the thread that owns
// the instance.  Handlers are called with idx 0 and the read, write and error
// bits of the event.  Registrations live in one list (the loop is single
// threaded), found again by descriptor on unregistration.
#ifndef TAV_TOOLS_EVDRIVER_H
#define TAV_TOOLS_EVDRIVER_H

#include "tav.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The driver for libev's default loop (created on first use). */
ev_driver *evdriver_env(void);
/* Number of descriptors currently registered through the driver. */
int evdriver_registered_count(void);

#ifdef __cplusplus
}
#endif

#endif
