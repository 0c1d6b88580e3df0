// Dump engine: reads a table of 4096-byte units (records or pages) from the
// device and prints them as JSON through a per-record format function.
//
// One record (params->meta_no >= 0): the unit of that number is read and
// formatted with an empty delimiter; the format function's failure is the
// result.  All records: "[", the printed objects (each "<delimiter>{...}"
// and a newline; the delimiter is "," after the first printed object), and
// "]".  Units that cannot be read or fail their check print the error object
// unless the filter's error value is 0, and do not fail the dump.
//
// Record numbers run from params->base_no; the table's units are numbered
// base_no .. base_no + max_cnt - 1.  Everything goes to params->out_fp.
#ifndef HXTR_DUMP_H
#define HXTR_DUMP_H

#include <cstdint>
#include <string>

#include "hxtr_cmdline.h"

/* Returns 0 when printed, 1 when filtered out, negative when the unit fails
 * its check (the function has logged why). */
typedef int (*meta_format_func_t)(int64_t no, const void *unit, const char *delim, hxtr_params_t *params);

int hxtr_dump_common(hxtr_params_t *params, const char *meta_type, uint64_t meta_start, uint64_t max_cnt,
                     meta_format_func_t format_func);

/* hxtr_dump_common, then the newline that ends a dump of all records. */
int hxtr_dump_table(hxtr_params_t *params, const char *meta_type, uint64_t meta_start, uint64_t max_cnt,
                    meta_format_func_t format_func);

/* Prints "<delim><object>\n" to the output. */
void hxtr_dump_emit(hxtr_params_t *params, const char *delim, const std::string &object);

#endif
