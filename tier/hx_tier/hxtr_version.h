// Version registry and dispatch.
//
// Each format version (v1, v2, v3) registers one selector: given a command
// and the device's super block (or none when the version was named with -v),
// the selector first checks the super block against its version (-EFAULT when
// it is not one of its own: magic, version word and checksum), then hands out
// its handler for the command, or none where the version lacks the command.
// hxtr_select_handler asks the named version, or versions 1, 2 and 3 in that
// order, and logs why no handler could be found.  A version's selector is
// hxtr_selector over its super block match and its list of (command,
// handler) pairs.
#ifndef HXTR_VERSION_H
#define HXTR_VERSION_H

#include <span>

#include "hxtr_checksum.h"
#include "hxtr_cmdline.h"
#include "hxtr_format.h"

enum {
    HXTR_VER_CODE_NONE = 0,
    HXTR_VER_CODE_V1 = 1,
    HXTR_VER_CODE_V2 = 2,
    HXTR_VER_CODE_V3 = 3,
    HXTR_VER_CODE_MAX = 4,
};

typedef int (*hxtr_cmd_func_t)(hxtr_params_t *params);
typedef int (*hxtr_func_selector_t)(hxtr_cmd_t cmd, const void *sb, hxtr_cmd_func_t *func);

/* One command of a version's map and its handler. */
struct hxtr_cmd_entry {
    hxtr_cmd_t cmd;
    hxtr_cmd_func_t func;
};

/* The body of every version's selector: -EFAULT when `sb` is given and
 * `sb_match` refuses it, else 0 with *func the handler `cmds` maps `cmd` to
 * (null when the version lacks the command). */
int hxtr_select_cmd(std::span<const hxtr_cmd_entry> cmds, bool (*sb_match)(const void *sb), hxtr_cmd_t cmd,
                    const void *sb, hxtr_cmd_func_t *func);

/* The selector of a version whose super blocks `SbMatch` recognises and whose
 * command map is the array `Cmds`. */
template <const auto &Cmds, bool (*SbMatch)(const void *sb)>
int hxtr_selector(hxtr_cmd_t cmd, const void *sb, hxtr_cmd_func_t *func) {
    return hxtr_select_cmd(Cmds, SbMatch, cmd, sb, func);
}

/* REQUIRES: 1 <= ver <= 3 and the slot is free (asserted). */
void hxtr_func_register(int ver, hxtr_func_selector_t selector);
/* The registered selector of `ver`, or null. */
hxtr_func_selector_t hxtr_func_selector(int ver);

/* Registers versions 1, 2 and 3, in that order; called once at start. */
void hxtr_register_versions(void);
void hxtr_v1_register(void);
void hxtr_v2_register(void);
void hxtr_v3_register(void);

/* The handler for params->cmd: 0, -EINVAL or -EFAULT (logged).  Every
 * command but repair_super and convert_super needs the device's super block:
 * when the run has none because a version was named with -v, the command is
 * refused here (-EINVAL), so that handlers may assert their super block. */
int hxtr_select_handler(const hxtr_params_t *params, hxtr_cmd_func_t *func);

/* True when `block` holds a super block of type SB with this magic and
 * version word, and a checksum over its bytes 4 .. sizeof(SB) - 1. */
template <typename SB> bool hxtr_sb_matches(const void *block, uint32_t magic, uint32_t version) {
    const SB sb = hxtr_record_load<SB>(block);
    return sb.sb_magic == magic && sb.sb_version == version &&
           sb.sb_checksum == hxtr_record_crc(block, sizeof(SB) - HXTR_CKSUM_FROM);
}

#endif
