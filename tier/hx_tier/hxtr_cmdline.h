// Command line of hx_tier: the run's parameters, the command words, option
// parsing, opening the device (and reading its super block) and the output
// file, and releasing them.
//
// hxtr_prepare_param fills one hxtr_params_t; on failure it has already
// released what it opened.  hxtr_release_param closes the device and the
// output file and frees the super block copy; it reports a failed flush of the
// output file (-EIO), so a dump that could not be written is not a success.
// Strings in the parameters point into argv, except filter.id (owned).
#ifndef HXTR_CMDLINE_H
#define HXTR_CMDLINE_H

#include <cstdint>
#include <cstdio>

typedef enum hxtr_cmd_t {
    HXTR_CMD_UNKNOWN = -1,
    HXTR_CMD_DUMP_SUPER = 0,
    HXTR_CMD_DUMP_BRICK = 1,
    HXTR_CMD_DUMP_INODE = 2,
    HXTR_CMD_DUMP_EXTENT = 3,
    HXTR_CMD_DUMP_SHARD = 4,
    HXTR_CMD_DUMP_HOT_TABLE = 5,
    HXTR_CMD_RESTORE_BRICK = 6,
    HXTR_CMD_RESTORE_INODE = 7,
    HXTR_CMD_RESTORE_EXTENT = 8,
    HXTR_CMD_REPAIR_SUPER = 9,
    HXTR_CMD_REPAIR_BRICK = 10,
    HXTR_CMD_REPAIR_INODE = 11,
    HXTR_CMD_REPAIR_EXTENT = 12,
    HXTR_CMD_REPAIR_SHARD = 13,
    HXTR_CMD_REPAIR_HOT_TABLE = 14,
    HXTR_CMD_CONVERT_SUPER = 15,
    HXTR_CMD_MAXVALUE = 16,
} hxtr_cmd_t;

typedef struct hxtr_filter_t {
    int32_t use;   // -1: any
    int32_t owner; // -1: any
    int32_t error; // -1: not given
    char *id;      // null: any
} hxtr_filter_t;

typedef struct hxtr_params_t {
    const char *dev_path;
    int fd;
    hxtr_cmd_t cmd;
    void *sb;         // 4096-byte aligned copy of the block at 4096, or null with -v
    int32_t spec_ver; // -v, 0 when not given
    int64_t base_no;  // number of the first record of the table being dumped
    int32_t meta_no;  // -n, -1 for all
    const char *repair_conf;
    const char *out_path;
    FILE *out_fp;
    hxtr_filter_t filter;
    int32_t force;
    int32_t commit;
    int32_t ver_given; // -v was given (even with a number that is no version)
} hxtr_params_t;

/* The -c word of a command, or "unknown". */
const char *hxtr_cmd_name(int cmd);

void hxtr_usage(FILE *fp, const char *prog);

/* Parses "key=value,..." into `filter` (unknown keys ignored).  0 or -EINVAL. */
int hxtr_parse_filter(const char *text, hxtr_filter_t *filter);

/* Returns 0 when ready to dispatch, HXTR_PREPARE_EXIT when the usage was
 * printed (exit 0), or a negative errno (message logged). */
#define HXTR_PREPARE_EXIT 1
int hxtr_prepare_param(hxtr_params_t *params, int argc, char **argv);
int hxtr_release_param(hxtr_params_t *params);

#endif
