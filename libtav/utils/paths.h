// The system's fixed directories, in one place: lock files ("/var/run/hx"),
// marker files ("/qo/cfg/hx") and logs and backups ("/qo/log/hx").  Tests
// point them at a private directory with tav_paths_override so that they never
// touch the real ones and can run in parallel.
#ifndef TAV_UTILS_PATHS_H
#define TAV_UTILS_PATHS_H

#include <string>

const char *tav_run_dir(void); /* "/var/run/hx" */
const char *tav_cfg_dir(void); /* "/qo/cfg/hx" */
const char *tav_log_dir(void); /* "/qo/log/hx" */

/* Full path of a file in one of the directories. */
std::string tav_run_path(const char *name);
std::string tav_cfg_path(const char *name);
std::string tav_log_path(const char *name);

/* True when the marker file `name` exists in the configuration directory. */
bool tav_cfg_flag(const char *name);

/* Test seam: replace the three directories (null keeps one unchanged). */
void tav_paths_override(const char *run_dir, const char *cfg_dir, const char *log_dir);

#endif
