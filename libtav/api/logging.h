// The library's logging glue: configuration from the environment at every
// instance start, and the prefix hook that names the request served by the
// running coroutine ("[TAV]" outside requests).
#ifndef TAV_LOGGING_H
#define TAV_LOGGING_H

#include <stddef.h>
#include <sys/types.h>

#include "tav.h"

/* Target SYSLOG and level INFO, then TAV_LOG_TARGET and TAV_LOG_LEVEL, then
 * the request-prefix hook. */
void tav_logging_init(void);
const char *tav_logging_hook(void);
/* Name of an operation code 0..32 ("NULL" for 0). */
const char *tav_op_string(tav_op_t op);
/* "-rwxrwxrwx"-style text in a static buffer. */
const char *tav_mode_string(mode_t mode);
/* True when each of the first len - 1 bytes is printable. */
bool is_printable(const char *buf, size_t len);

#endif
