// Text pieces of the JSON dump form.
//
// Text fields of records may lack their NUL terminator on a damaged device:
// every helper here reads at most the field's size.  hxtr_json_text escapes a
// field as JSON requires (quote, backslash, control characters, and every byte
// that is not part of well-formed UTF-8 as \u00XX), so that any byte content
// still gives valid JSON.  Times are local times of a nanosecond value.
#ifndef HXTR_TEXT_H
#define HXTR_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>

/* Appends printf-style text to `out`. */
void hxtr_appendf(std::string &out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

/* Length of the text in a field of `cap` bytes (up to its first NUL). */
size_t hxtr_field_len(const char *field, size_t cap);

/* The field's text, escaped for a JSON string (without the quotes). */
std::string hxtr_json_text(const char *field, size_t cap);

/* "%Y-%m-%d %H:%M:%S" local time of ns / 10^9 ("" when out of range). */
std::string hxtr_time_text(uint64_t ns);

/* Lower-case 36-character text of a 16-byte uuid. */
std::string hxtr_uuid_text(const uint8_t uuid[16]);

#endif
