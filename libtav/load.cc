// Instance loading steps, in order.
#include "load.h"

#include "utils/memory.h"

void tav_instance_parts_init(tav *) {}

void tav_instance_parts_destroy(tav *, char *) {}

int tav_load(tav *) {
    tav_iobuf_pool_init();
    return 0;
}

int tav_unload(tav *) { return 0; }
