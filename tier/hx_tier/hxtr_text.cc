#include "hxtr_text.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <uuid/uuid.h>

void hxtr_appendf(std::string &out, const char *fmt, ...) {
    char small[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(small, sizeof(small), fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    if (static_cast<size_t>(n) < sizeof(small)) {
        out.append(small, n);
        return;
    }
    const size_t at = out.size();
    out.resize(at + n + 1);
    va_start(ap, fmt);
    vsnprintf(&out[at], n + 1, fmt, ap);
    va_end(ap);
    out.resize(at + n);
}

size_t hxtr_field_len(const char *field, size_t cap) {
    return strnlen(field, cap);
}

namespace {

// Length of the well-formed UTF-8 sequence at s (at most `left` bytes), or 0.
size_t utf8_seq_len(const unsigned char *s, size_t left) {
    const unsigned char c = s[0];
    size_t n;
    unsigned char lo = 0x80, hi = 0xbf; // range of the second byte
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        if (c == 0xe0)
            lo = 0xa0;
        if (c == 0xed)
            hi = 0x9f; // no surrogates
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        if (c == 0xf0)
            lo = 0x90;
        if (c == 0xf4)
            hi = 0x8f;
    } else {
        return 0;
    }
    if (n > left || s[1] < lo || s[1] > hi)
        return 0;
    for (size_t i = 2; i < n; i++)
        if (s[i] < 0x80 || s[i] > 0xbf)
            return 0;
    return n;
}

} // namespace

std::string hxtr_json_text(const char *field, size_t cap) {
    const size_t len = hxtr_field_len(field, cap);
    const auto *s = reinterpret_cast<const unsigned char *>(field);
    std::string out;
    out.reserve(len + 8);
    for (size_t i = 0; i < len;) {
        const unsigned char c = s[i];
        if (c >= 0x80) {
            const size_t n = utf8_seq_len(s + i, len - i);
            if (n > 0) {
                out.append(field + i, n);
                i += n;
            } else {
                hxtr_appendf(out, "\\u%04x", c);
                i++;
            }
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20)
                hxtr_appendf(out, "\\u%04x", c);
            else
                out += static_cast<char>(c);
        }
        i++;
    }
    return out;
}

std::string hxtr_time_text(uint64_t ns) {
    const time_t sec = static_cast<time_t>(ns / 1000000000ull);
    struct tm tm;
    char buf[64];
    if (localtime_r(&sec, &tm) == nullptr || strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S", &tm) == 0)
        return std::string();
    return buf;
}

std::string hxtr_uuid_text(const uint8_t uuid[16]) {
    char buf[37];
    uuid_unparse_lower(uuid, buf);
    return buf;
}
