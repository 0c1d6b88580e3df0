// Repair engine: builds one whole 4096-byte block (a record or a table page)
// from a JSON file through a per-version parse function and, only with the
// commit flag, writes it to the device at the offset the parse function chose
// (a build-only run, convert_super, never writes).
//
// The block handed to the parse function is zero-filled and 4096-byte
// aligned; the parse function fills it (magic, fields, checksum), checks it,
// and returns the target device offset or a negative errno.  Nothing is
// written before the whole block was built and validated.
#ifndef HXTR_REPAIR_H
#define HXTR_REPAIR_H

#include <cstdint>
#include <string>

#include "hxtr_cmdline.h"
#include "hxtr_json.h"

typedef int64_t (*hxtr_parse_func_t)(hxtr_params_t *params, const hxtr_json_t *json, void *block);

/* What the repair engine does with the block it built. */
enum hxtr_repair_write {
    HXTR_REPAIR_WRITE_ON_COMMIT, // written when params->commit is set
    HXTR_REPAIR_BUILD_ONLY,      // never written, nothing logged about it (convert_super)
};

int hxtr_repair_common(hxtr_params_t *params, hxtr_parse_func_t parse_func,
                       hxtr_repair_write write = HXTR_REPAIR_WRITE_ON_COMMIT);

/* The handler of a repair command: the repair engine with `Parse`. */
template <hxtr_parse_func_t Parse> int hxtr_repair_handler(hxtr_params_t *params) {
    return hxtr_repair_common(params, Parse);
}

/* A computed target offset as the parse function's result: the offset, or
 * -EINVAL (logged) when it does not fit a device offset. */
int64_t hxtr_repair_target(uint64_t offset);

/* Prints a rebuilt record's dump form and a newline to standard output. */
void hxtr_repair_print(const std::string &object);

/* The end of a record's parse function: the target `offset` as its result
 * (see hxtr_repair_target), with the record's dump form at that offset,
 * dump_form(offset), printed. */
template <typename DumpForm> int64_t hxtr_repair_place(uint64_t offset, DumpForm dump_form) {
    const int64_t off = hxtr_repair_target(offset);
    if (off >= 0)
        hxtr_repair_print(dump_form(off));
    return off;
}

#endif
