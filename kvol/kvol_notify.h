// Listeners: up to 64 descriptors that receive one text line per event,
// "<seconds> <volume uuid> <event bit> \n", for the event bits they asked
// for.  The volume never closes a listener's descriptor; its owner does.
//
// A write that would block is retried while the descriptor becomes writable
// within a bounded wait, so a listener that stops reading cannot stall the
// volume's thread for long; a write error is logged and ends that round of
// notification.  Nothing here yields.
#ifndef KVOL_NOTIFY_H
#define KVOL_NOTIFY_H

#include "kvol_volume.h"

void kvol_notify(kvol_t *kvol, uint32_t events);

#endif
