#include "hxtr_version.h"

#include <assert.h>
#include <errno.h>

#include "hxtr_log.h"

namespace {

hxtr_func_selector_t s_func_selectors[HXTR_VER_CODE_MAX];

bool needs_super(hxtr_cmd_t cmd) {
    return cmd != HXTR_CMD_REPAIR_SUPER && cmd != HXTR_CMD_CONVERT_SUPER;
}

int hxtr_need_super(const hxtr_params_t *p) {
    if (p->sb != nullptr)
        return 0;
    hxtr_err("cmd %s needs the super block of the device, it cannot run with -v", hxtr_cmd_name(p->cmd));
    return -EINVAL;
}

} // namespace

void hxtr_func_register(int ver, hxtr_func_selector_t selector) {
    assert(ver > HXTR_VER_CODE_NONE && ver < HXTR_VER_CODE_MAX);
    assert(s_func_selectors[ver] == nullptr);
    assert(selector != nullptr);
    s_func_selectors[ver] = selector;
}

hxtr_func_selector_t hxtr_func_selector(int ver) {
    if (ver <= HXTR_VER_CODE_NONE || ver >= HXTR_VER_CODE_MAX)
        return nullptr;
    return s_func_selectors[ver];
}

void hxtr_register_versions(void) {
    hxtr_v1_register();
    hxtr_v2_register();
    hxtr_v3_register();
}

int hxtr_select_handler(const hxtr_params_t *p, hxtr_cmd_func_t *func) {
    *func = nullptr;
    int ver;
    if (p->ver_given) {
        ver = p->spec_ver;
        hxtr_func_selector_t sel = hxtr_func_selector(ver);
        if (sel == nullptr) {
            hxtr_err("version V%d is not supported", ver);
            return -EINVAL;
        }
        sel(p->cmd, nullptr, func);
    } else {
        for (ver = HXTR_VER_CODE_V1; ver < HXTR_VER_CODE_MAX; ver++) {
            hxtr_func_selector_t sel = hxtr_func_selector(ver);
            if (sel != nullptr && sel(p->cmd, p->sb, func) == 0)
                break;
        }
        if (ver == HXTR_VER_CODE_MAX) {
            hxtr_err("super block may corrupt. path:%s", p->dev_path);
            return -EFAULT;
        }
    }
    if (*func == nullptr) {
        hxtr_err("version V%d not support cmd:%s", ver, hxtr_cmd_name(p->cmd));
        return -EINVAL;
    }
    return needs_super(p->cmd) ? hxtr_need_super(p) : 0;
}

int hxtr_select_cmd(std::span<const hxtr_cmd_entry> cmds, bool (*sb_match)(const void *sb), hxtr_cmd_t cmd,
                    const void *sb, hxtr_cmd_func_t *func) {
    *func = nullptr;
    if (sb != nullptr && !sb_match(sb))
        return -EFAULT;
    for (const hxtr_cmd_entry &e : cmds)
        if (e.cmd == cmd)
            *func = e.func;
    return 0;
}
