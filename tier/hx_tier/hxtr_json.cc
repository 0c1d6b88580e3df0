#include "hxtr_json.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <uuid/uuid.h>

#include <new>
#include <string>
#include <vector>

#include "hxtr_log.h"

namespace {

bool is_number_char(char c) {
    return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == 'e' || c == 'E' || c == '.';
}

// The number tokens of [p, end) in document order.  Outside strings every '-'
// or digit starts a number (literals hold neither), and cJSON takes the whole
// run of number characters as the token of a document it accepts.
void collect_number_texts(const char *p, const char *end, std::vector<std::string_view> &out) {
    while (p < end) {
        const char c = *p;
        if (c == '"') {
            for (p++; p < end && *p != '"'; p++)
                if (*p == '\\' && p + 1 < end)
                    p++;
            p++;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            const char *q = p;
            while (q < end && is_number_char(*q))
                q++;
            out.emplace_back(p, q - p);
            p = q;
        } else {
            p++;
        }
    }
}

// Pairs the number items of the tree, in document order, with their texts.
int attach_numbers(const cJSON *item, const std::vector<std::string_view> &texts, size_t &next,
                   hxtr_json_t *json) {
    for (; item != nullptr; item = item->next) {
        if (cJSON_IsNumber(item)) {
            if (next >= texts.size())
                return -EINVAL;
            json->numbers.emplace(item, texts[next++]);
        }
        if (item->child != nullptr) {
            int ret = attach_numbers(item->child, texts, next, json);
            if (ret < 0)
                return ret;
        }
    }
    return 0;
}

int parse_owned_text(char *text, hxtr_json_t **out) {
    auto *json = new (std::nothrow) hxtr_json_t;
    if (json == nullptr) {
        free(text);
        return -ENOMEM;
    }
    json->text = text;
    const char *end = nullptr;
    json->root = cJSON_ParseWithOpts(text, &end, 0);
    if (json->root == nullptr) {
        hxtr_json_free(json);
        return -EINVAL;
    }
    int ret;
    try {
        std::vector<std::string_view> texts;
        collect_number_texts(text, end, texts);
        size_t next = 0;
        ret = attach_numbers(json->root, texts, next, json);
    } catch (const std::bad_alloc &) {
        ret = -ENOMEM;
    }
    if (ret < 0) {
        hxtr_json_free(json);
        return ret;
    }
    *out = json;
    return 0;
}

} // namespace

int hxtr_json_parse_text(const char *text, size_t len, hxtr_json_t **out) {
    char *copy = static_cast<char *>(malloc(len + 1));
    if (copy == nullptr)
        return -ENOMEM;
    memcpy(copy, text, len);
    copy[len] = '\0';
    return parse_owned_text(copy, out);
}

int hxtr_json_load(const char *path, hxtr_json_t **out) {
    FILE *fp = fopen(path, "r");
    if (fp == nullptr)
        return -errno;
    struct stat st;
    if (fstat(fileno(fp), &st) < 0) {
        int ret = -errno;
        fclose(fp);
        return ret;
    }
    if (st.st_size <= 0) {
        fclose(fp);
        return -EINVAL;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    char *text = static_cast<char *>(malloc(size + 1));
    if (text == nullptr) {
        fclose(fp);
        return -ENOMEM;
    }
    if (fread(text, 1, size, fp) != size) {
        int ret = ferror(fp) ? -EIO : -EINVAL;
        hxtr_err("fread failed:%s, path:%s", strerror(-ret), path);
        free(text);
        fclose(fp);
        return ret;
    }
    fclose(fp);
    text[size] = '\0';
    int ret = parse_owned_text(text, out);
    if (ret == -EINVAL)
        hxtr_err("cJSON_Parse failed, path:%s", path);
    return ret;
}

void hxtr_json_free(hxtr_json_t *json) {
    if (json == nullptr)
        return;
    cJSON_Delete(json->root);
    free(json->text);
    delete json;
}

int hxtr_number_text_value(std::string_view t, uint64_t max, uint64_t *out) {
    size_t i = 0;
    const bool negative = i < t.size() && t[i] == '-';
    if (negative)
        i++;
    // Mantissa digits (integer and fraction parts) and where the point is.
    std::string_view int_part, frac_part;
    size_t start = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9')
        i++;
    int_part = t.substr(start, i - start);
    if (i < t.size() && t[i] == '.') {
        start = ++i;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9')
            i++;
        frac_part = t.substr(start, i - start);
    }
    if (int_part.empty() && frac_part.empty())
        return -ERANGE;
    int64_t exp = 0;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        i++;
        bool exp_neg = false;
        if (i < t.size() && (t[i] == '+' || t[i] == '-'))
            exp_neg = t[i++] == '-';
        const size_t exp_start = i;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
            if (exp < 1000000)
                exp = exp * 10 + (t[i] - '0');
            i++;
        }
        if (i == exp_start)
            return -ERANGE;
        if (exp_neg)
            exp = -exp;
    }
    if (i != t.size())
        return -ERANGE;

    // The value's integer digits are the first int_part.size() + exp digits of
    // int_part followed by frac_part (zeros beyond); the rest is cut off.
    auto digit = [&](int64_t k) -> int {
        if (k < static_cast<int64_t>(int_part.size()))
            return int_part[k] - '0';
        k -= int_part.size();
        return k < static_cast<int64_t>(frac_part.size()) ? frac_part[k] - '0' : 0;
    };
    const int64_t ndigits = static_cast<int64_t>(int_part.size() + frac_part.size());
    const int64_t int_count = static_cast<int64_t>(int_part.size()) + exp;
    int64_t first = 0;
    while (first < ndigits && digit(first) == 0)
        first++;
    uint64_t value = 0;
    if (first < ndigits && first < int_count) {
        if (int_count - first > 20)
            return -ERANGE;
        for (int64_t k = first; k < int_count; k++) {
            if (__builtin_mul_overflow(value, 10u, &value) ||
                __builtin_add_overflow(value, static_cast<uint64_t>(digit(k)), &value))
                return -ERANGE;
        }
    }
    if ((negative && value != 0) || value > max)
        return -ERANGE;
    *out = value;
    return 0;
}

int hxtr_json_number(const hxtr_json_t *json, const cJSON *item, uint64_t max, uint64_t *out) {
    if (!cJSON_IsNumber(item))
        return -ENOENT;
    auto it = json->numbers.find(item);
    if (it == json->numbers.end())
        return -ERANGE;
    return hxtr_number_text_value(it->second, max, out);
}

const cJSON *hxtr_json_member(const cJSON *obj, const char *key) {
    if (!cJSON_IsObject(obj))
        return nullptr;
    return cJSON_GetObjectItemCaseSensitive(obj, key);
}

int hxtr_json_get_u64(const hxtr_json_t *json, const cJSON *obj, const char *key, uint64_t max, bool required,
                      uint64_t *out) {
    int ret = hxtr_json_number(json, hxtr_json_member(obj, key), max, out);
    if (ret == 0)
        return 0;
    if (ret == -ENOENT && !required)
        return 1;
    hxtr_err("parse %s failed", key);
    return -EINVAL;
}

const char *hxtr_json_get_text(const cJSON *obj, const char *key) {
    const cJSON *item = hxtr_json_member(obj, key);
    if (!cJSON_IsString(item) || item->valuestring == nullptr) {
        hxtr_err("parse %s failed", key);
        return nullptr;
    }
    return item->valuestring;
}

int hxtr_hex_text_value(const char *text, size_t max_chars, uint64_t *out) {
    size_t i = 0;
    if (max_chars >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        i = 2;
    uint64_t v = 0;
    size_t digits = 0;
    for (; i < max_chars && text[i] != '\0'; i++, digits++) {
        const char c = text[i];
        unsigned d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            break;
        if (v >> 60)
            return -ERANGE;
        v = (v << 4) | d;
    }
    if (digits == 0)
        return -ERANGE;
    *out = v;
    return 0;
}

int hxtr_json_get_hex(const cJSON *obj, const char *key, size_t max_chars, uint64_t *out) {
    const char *text = hxtr_json_get_text(obj, key);
    if (text == nullptr)
        return -EINVAL;
    if (hxtr_hex_text_value(text, max_chars, out) < 0) {
        hxtr_err("parse %s failed", key);
        return -EINVAL;
    }
    return 0;
}

int hxtr_json_get_uuid(const cJSON *obj, const char *key, uint8_t uuid[16]) {
    const char *text = hxtr_json_get_text(obj, key);
    if (text == nullptr)
        return -EINVAL;
    long ret = uuid_parse(text, uuid);
    if (ret != 0) {
        hxtr_err("parse uuid %s failed:%ld", text, ret);
        return -EINVAL;
    }
    return 0;
}
