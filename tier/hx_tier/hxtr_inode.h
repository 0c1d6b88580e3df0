// Inode records, all versions.  v2 and v3 share one layout (v3 with its own
// magic and a signed number); v1 keeps two reserved words where v2 has
// new_data and i_blocks.  Dump form, checked and filtered dumping, and the
// build of an inode block from its repair form.  Which numbers are valid and
// where an inode lies are the caller's version's rules.
#ifndef HXTR_INODE_H
#define HXTR_INODE_H

#include <cstdint>
#include <string>

#include "hxtr_cmdline.h"
#include "hxtr_fields.h"
#include "hxtr_json.h"

enum hxtr_inode_kind { HXTR_INODE_V1, HXTR_INODE_V2, HXTR_INODE_V3 };

std::string hxtr_inode_json(hxtr_inode_kind kind, const void *unit, int64_t meta_offset);

/* Format function body: checks magic, number (= slot `no`) and checksum
 * (-EFAULT, logged with the record), applies the filter (1), prints (0). */
int hxtr_inode_format(hxtr_inode_kind kind, int64_t no, const void *unit, const char *delim,
                      hxtr_params_t *params, uint64_t offset);

/* True when the unit holds a good inode (magic, checksum) numbered `no`;
 * fills what was found for the caller's message. */
struct hxtr_inode_seen {
    uint32_t no, magic, checksum, crc;
};
bool hxtr_inode_valid(hxtr_inode_kind kind, const void *unit, uint32_t no, hxtr_inode_seen *seen);

/* Builds the inode block from the repair form (magic and checksum set).  The
 * inode's number and brick number are returned for the caller's checks.
 * 0 or -EINVAL (logged). */
int hxtr_inode_build(hxtr_inode_kind kind, const hxtr_json_t *json, void *block, uint32_t *i_no,
                     uint32_t *brick_no);

#endif
