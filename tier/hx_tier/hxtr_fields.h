// Field tables of packed records: one row per field, giving its key in the
// JSON forms, where it lies in the record and how it is written.  One table
// drives both directions, so a record's dump form and its repair form cannot
// drift apart: hxtr_fields_text prints the fields in table order, and
// hxtr_fields_read fills them from the keys of one JSON object in the same
// order.
//
// Rows address the record by offset and size only (from offsetof/sizeof of
// the record's struct, see HXTR_JF); fields are little-endian like the
// records.  Every text written is bounded by the field's size.
#ifndef HXTR_FIELDS_H
#define HXTR_FIELDS_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "hxtr_json.h"

/* How a field is written in the JSON forms. */
enum hxtr_jform : uint8_t {
    HXTR_JFORM_NUM,     // number, printed in decimal and read back
    HXTR_JFORM_NUM_OUT, // number printed in decimal; no key of the repair form
    HXTR_JFORM_HEX,     // "0x..." text; no key of the repair form (checksum,
                        // magic; a version word is read by its version's code)
    HXTR_JFORM_CTIME,   // "0x<hex>(<local time>)" text, read back as hex from
                        // its first 18 characters (up to the parenthesis)
    HXTR_JFORM_UUID,    // uuid text
    HXTR_JFORM_TEXT,    // NUL-terminated text, read back up to size - 1 bytes
};

struct hxtr_jfield {
    const char *key;
    uint32_t offset; // in the record
    uint32_t size;   // bytes: 1, 2, 4 or 8 for numbers
    bool required;   // HXTR_JFORM_NUM: an absent key fails the read
    uint64_t max;    // HXTR_JFORM_NUM: largest accepted value; 0 means the field's width
    hxtr_jform form = HXTR_JFORM_NUM;
};
/* A number field of record type T. */
#define HXTR_JF(T, field, key, required)                                                                     \
    hxtr_jfield {                                                                                            \
        key, offsetof(T, field), sizeof(((T *)0)->field), required, 0                                        \
    }
/* A field of record type T written in `form`; read (when its form is read
 * back at all) as a required key. */
#define HXTR_JF_AS(T, field, key, form)                                                                      \
    hxtr_jfield {                                                                                            \
        key, offsetof(T, field), sizeof(((T *)0)->field), true, 0, form                                      \
    }

/* Appends the fields' "key":value pairs, separated by commas, to `s`. */
void hxtr_fields_text(std::string &s, std::span<const hxtr_jfield> fields, const void *record);

/* Fills the fields in table order from the keys of `obj`; absent optional
 * fields stay as they are, fields without a repair key are skipped.  0, or
 * -EINVAL at the first failing key (logged "parse %s failed", or
 * "parse uuid %s failed:%ld"). */
int hxtr_fields_read(const hxtr_json_t *json, const cJSON *obj, std::span<const hxtr_jfield> fields,
                     void *record);

/* Index of the row of `key` in `fields` (fields.size() when absent). */
constexpr size_t hxtr_field_index(std::span<const hxtr_jfield> fields, std::string_view key) {
    size_t i = 0;
    while (i < fields.size() && key != fields[i].key)
        i++;
    return i;
}

#endif
