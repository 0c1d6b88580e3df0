// Brick records, all versions: one layout (tier_brick_info_v3_t), with the
// magic "IKRB" in v1/v2 and "iKXB" in v3.  Dump form, checked and filtered
// dumping, and the build of a brick block from its repair form.  Placement
// and the table size come from the caller's version.
#ifndef HXTR_BRICK_H
#define HXTR_BRICK_H

#include <cstdint>
#include <string>

#include "hxtr_cmdline.h"
#include "hxtr_fields.h"
#include "hxtr_json.h"

std::string hxtr_brick_json(const void *unit, int64_t meta_offset);

/* Format function body: checks magic, number (= slot `no`) and checksum
 * (-EFAULT, logged with the record), applies the filter (1), prints (0). */
int hxtr_brick_format(uint32_t magic, int64_t no, const void *unit, const char *delim, hxtr_params_t *params,
                      uint64_t offset);

/* Builds the brick block from the repair form, checks bi_no < brick_cnt and
 * prints the brick's dump form at its place in the table starting at
 * `table`.  Returns that place's offset, or -EINVAL (logged). */
int64_t hxtr_brick_build(const hxtr_json_t *json, uint32_t magic, uint64_t brick_cnt, uint64_t table,
                         void *block);

#endif
