#include "hxtr_fields.h"

#include <errno.h>
#include <string.h>

#include "hxtr_text.h"

namespace {

uint64_t load_le(const uint8_t *p, uint32_t size) {
    uint64_t v = 0;
    memcpy(&v, p, size < sizeof(v) ? size : sizeof(v)); // little-endian
    return v;
}

} // namespace

void hxtr_fields_text(std::string &s, std::span<const hxtr_jfield> fields, const void *record) {
    const auto *rec = static_cast<const uint8_t *>(record);
    const char *sep = "";
    for (const hxtr_jfield &f : fields) {
        const uint8_t *at = rec + f.offset;
        hxtr_appendf(s, "%s\"%s\":", sep, f.key);
        sep = ",";
        switch (f.form) {
        case HXTR_JFORM_NUM:
        case HXTR_JFORM_NUM_OUT:
            hxtr_appendf(s, "%lu", static_cast<unsigned long>(load_le(at, f.size)));
            break;
        case HXTR_JFORM_HEX:
            hxtr_appendf(s, "\"0x%lx\"", static_cast<unsigned long>(load_le(at, f.size)));
            break;
        case HXTR_JFORM_CTIME: {
            const uint64_t ns = load_le(at, f.size);
            hxtr_appendf(s, "\"0x%lx(%s)\"", static_cast<unsigned long>(ns), hxtr_time_text(ns).c_str());
            break;
        }
        case HXTR_JFORM_UUID: hxtr_appendf(s, "\"%s\"", hxtr_uuid_text(at).c_str()); break;
        case HXTR_JFORM_TEXT:
            hxtr_appendf(s, "\"%s\"", hxtr_json_text(reinterpret_cast<const char *>(at), f.size).c_str());
            break;
        }
    }
}

int hxtr_fields_read(const hxtr_json_t *json, const cJSON *obj, std::span<const hxtr_jfield> fields,
                     void *record) {
    auto *rec = static_cast<uint8_t *>(record);
    for (const hxtr_jfield &f : fields) {
        uint8_t *at = rec + f.offset;
        switch (f.form) {
        case HXTR_JFORM_NUM: {
            uint64_t max = f.max;
            if (max == 0)
                max = f.size >= 8 ? ~0ull : (1ull << (8 * f.size)) - 1;
            uint64_t v;
            int ret = hxtr_json_get_u64(json, obj, f.key, max, f.required, &v);
            if (ret < 0)
                return ret;
            if (ret == 0)
                memcpy(at, &v, f.size); // little-endian
            break;
        }
        case HXTR_JFORM_CTIME: {
            uint64_t v;
            if (hxtr_json_get_hex(obj, f.key, 18, &v) < 0)
                return -EINVAL;
            memcpy(at, &v, f.size);
            break;
        }
        case HXTR_JFORM_UUID:
            if (hxtr_json_get_uuid(obj, f.key, at) < 0)
                return -EINVAL;
            break;
        case HXTR_JFORM_TEXT: {
            const char *text = hxtr_json_get_text(obj, f.key);
            if (text == nullptr)
                return -EINVAL;
            memset(at, 0, f.size);
            memcpy(at, text, strnlen(text, f.size - 1));
            break;
        }
        case HXTR_JFORM_NUM_OUT:
        case HXTR_JFORM_HEX: break;
        }
    }
    return 0;
}
