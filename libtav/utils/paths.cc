#include "paths.h"

#include <unistd.h>

namespace {
std::string g_run = "/var/run/hx";
std::string g_cfg = "/qo/cfg/hx";
std::string g_log = "/qo/log/hx";
} // namespace

const char *tav_run_dir(void) {
    return g_run.c_str();
}
const char *tav_cfg_dir(void) {
    return g_cfg.c_str();
}
const char *tav_log_dir(void) {
    return g_log.c_str();
}

std::string tav_run_path(const char *name) {
    return g_run + "/" + name;
}
std::string tav_cfg_path(const char *name) {
    return g_cfg + "/" + name;
}
std::string tav_log_path(const char *name) {
    return g_log + "/" + name;
}

bool tav_cfg_flag(const char *name) {
    return access(tav_cfg_path(name).c_str(), F_OK) == 0;
}

void tav_paths_override(const char *run_dir, const char *cfg_dir, const char *log_dir) {
    if (run_dir)
        g_run = run_dir;
    if (cfg_dir)
        g_cfg = cfg_dir;
    if (log_dir)
        g_log = log_dir;
}
