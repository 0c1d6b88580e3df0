// JSON repair input.
//
// cJSON parses and validates the document; it keeps numbers as doubles, which
// cannot hold every 64-bit value, so this module also keeps the source text of
// every number and reads numbers from that text exactly: an integer of up to
// 2^64 - 1, with fractions cut off and exponents applied.  A number that does
// not fit the field it is meant for (negative and non-zero, or above the
// field's largest value) is refused, never cut to the field's width.
//
// A hxtr_json_t owns the file text, the cJSON tree and the number texts;
// items handed out stay valid until hxtr_json_free.  Keys are matched exactly
// (case-sensitive); a key whose value has the wrong JSON type counts as
// missing.  The hxtr_json_get_* helpers log "parse %s failed" (or
// "parse uuid %s failed:%ld") and return -EINVAL on a missing required key or
// a refused value.  Records are filled from field tables (hxtr_fields.h).
#ifndef HXTR_JSON_H
#define HXTR_JSON_H

#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>

struct hxtr_json_t {
    char *text = nullptr; // NUL-terminated document
    cJSON *root = nullptr;
    std::unordered_map<const cJSON *, std::string_view> numbers; // item -> its text
};

/* Reads and parses a JSON file whole.  0, -ENOENT/-EIO/... from the file,
 * -EINVAL for an empty file or a document cJSON refuses, -ENOMEM. */
int hxtr_json_load(const char *path, hxtr_json_t **out);
/* Parses `len` bytes of text (copied). */
int hxtr_json_parse_text(const char *text, size_t len, hxtr_json_t **out);
void hxtr_json_free(hxtr_json_t *json);

/* Exact value of a number text: 0, or -ERANGE when it is malformed, negative
 * (other than a zero value) or above `max`. */
int hxtr_number_text_value(std::string_view text, uint64_t max, uint64_t *out);

/* Value of a number item: 0, -ENOENT when `item` is not a number, -ERANGE. */
int hxtr_json_number(const hxtr_json_t *json, const cJSON *item, uint64_t max, uint64_t *out);

/* Member `key` of object `obj`, or null. */
const cJSON *hxtr_json_member(const cJSON *obj, const char *key);

/* A number key.  Returns 0 when read, 1 when an optional key is absent (or of
 * another type; *out untouched), -EINVAL otherwise (logged). */
int hxtr_json_get_u64(const hxtr_json_t *json, const cJSON *obj, const char *key, uint64_t max, bool required,
                      uint64_t *out);
/* A required text key: its NUL-terminated value, or null (logged). */
const char *hxtr_json_get_text(const cJSON *obj, const char *key);
/* Base-16 value of the first `max_chars` characters of `text`: an optional
 * 0x, then hex digits up to the first other character (at least one).
 * 0, or -ERANGE when there is no digit or the value exceeds 64 bits. */
int hxtr_hex_text_value(const char *text, size_t max_chars, uint64_t *out);
/* A required text key read with hxtr_hex_text_value: 0 or -EINVAL (logged). */
int hxtr_json_get_hex(const cJSON *obj, const char *key, size_t max_chars, uint64_t *out);
/* A required uuid text key: 0 or -EINVAL (logged). */
int hxtr_json_get_uuid(const cJSON *obj, const char *key, uint8_t uuid[16]);

#endif
