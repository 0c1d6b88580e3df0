// What versions 1 and 2 share: the super block up to sb_extent_size (the v1
// struct is the shared view of both), the placement of bricks, inodes and
// extent records behind the super block area, the super block invariants
// common to both, the brick commands, and the 56-byte extent record header
// with the checks and filter of extent records.
#ifndef HXTR_V12_H
#define HXTR_V12_H

#include <cstdint>
#include <string>

#include "hxtr_cmdline.h"
#include "hxtr_format.h"
#include "hxtr_fields.h"
#include "hxtr_json.h"

/* The shared view of a v1 or v2 super block (bytes 0..139 are common). */
tier_super_block_v1_t hxtr_v12_view(const void *sb);
/* The shared view of the run's super block.  REQUIRES: a v1 or v2 super
 * block (asserted; dispatch guarantees it). */
tier_super_block_v1_t hxtr_v12_sb(const hxtr_params_t *params);

/* Table starts: bricks, inodes and extent records, one 4096-byte block each. */
uint64_t hxtr_v12_brick_start(const tier_super_block_v1_t &sb);
uint64_t hxtr_v12_inode_start(const tier_super_block_v1_t &sb);
uint64_t hxtr_v12_extent_start(const tier_super_block_v1_t &sb);

/* The super block fields both versions share, written and read through one
 * field table.  The dump form from "{" and "checksum" to "extent_size" (no
 * closing brace): */
void hxtr_v12_sb_json_head(std::string &s, const tier_super_block_v1_t &sb);

/* and the keys both versions require ("brick_table_size" .. "extent_size")
 * into the shared view; the version text's value goes to sb->sb_version.
 * 0 or -EINVAL (logged). */
int hxtr_v12_sb_parse_head(const hxtr_json_t *json, tier_super_block_v1_t *sb);

/* Invariants common to v1 and v2, checked one at a time and logged under the
 * name of the version's check function `func`. */
enum hxtr_v12_rule {
    HXTR_V12_RULE_SB_SIZE,
    HXTR_V12_RULE_BRICK,
    HXTR_V12_RULE_INODE,
    HXTR_V12_RULE_BLOCK_SIZE,
    HXTR_V12_RULE_EXTENT_TABLE,
    HXTR_V12_RULE_DATA_OFFSET,
    HXTR_V12_RULE_SSD_UUID,
};
bool hxtr_v12_rule_ok(hxtr_v12_rule rule, const tier_super_block_v1_t &sb, const char *func);

/* Bricks: one layout and magic in both versions, so one dump_brick handler
 * and one repair_brick parse function serve both. */
int hxtr_v12_dump_brick(hxtr_params_t *params);
int64_t hxtr_v12_parse_brick(hxtr_params_t *params, const hxtr_json_t *json, void *block);

/* Extent records.  `crc_len_end` is the byte the checksum ends before
 * (sb_extent_size in v1, sb_total_extent_size in v2); `form` gives a record's
 * dump form at an offset, the version's own behind the shared header. */
typedef std::string (*hxtr_v12_extent_form_t)(const void *unit, const hxtr_params_t *params,
                                              int64_t meta_offset);
void hxtr_v12_extent_json_head(std::string &s, const void *unit);

/* Format function body: the checksum and number check (a failed record goes
 * to the log in its dump form at offset 0, -EFAULT), the filter (1, logged),
 * then the dump form printed (0). */
int hxtr_v12_extent_format(int64_t no, const void *unit, const char *delim, hxtr_params_t *params,
                           uint64_t crc_len_end, hxtr_v12_extent_form_t form);

/* The keys every extent repair form starts with, "te_use" and "te_no"
 * (into te_reserved1).  0 or -EINVAL (logged). */
int hxtr_v12_extent_parse_head(const hxtr_json_t *json, tier_extent_v2_t *te);
/* The end of an extent record's parse function: the te_no / te_inode_no
 * checks of the built header, the header into the block (whose bytes behind
 * it are built) with its checksum, and the record's place with its dump form
 * printed.  The target offset, or -EINVAL (logged). */
int64_t hxtr_v12_extent_finish(hxtr_params_t *params, void *block, const tier_extent_v2_t &te,
                               uint64_t crc_len_end, hxtr_v12_extent_form_t form);

/* Number of te_bitmap words of a record, bounded by the 4096-byte block. */
uint64_t hxtr_v12_bitmap_words(uint32_t extent_size);

#endif
