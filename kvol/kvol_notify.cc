// Listener slots and their notification lines.
#include "kvol_notify.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <uuid/uuid.h>

#include "kvol_log.h"

namespace {

constexpr size_t kNotifyMax = 8192;
constexpr int kWritableWaitMs = 1000;

// Writes the whole text; 0 or a negative errno.
int write_all(int fd, const char *buf, size_t len) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, buf + done, len - done);
        if (n >= 0) {
            done += n;
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return -errno;
        struct pollfd p = {fd, POLLOUT, 0};
        int r = poll(&p, 1, kWritableWaitMs);
        if (r == 0)
            return -EAGAIN;
        if (r < 0 && errno != EINTR)
            return -errno;
    }
    return 0;
}

} // namespace

void kvol_notify(kvol_t *kvol, uint32_t events) {
    if (events == 0)
        return;
    char uuid[37];
    uuid_unparse(kvol->sb.sb_uuid, uuid);
    uint32_t now = kvol_now();
    char text[kNotifyMax];
    for (const auto &l : kvol->listeners) {
        if (l.fd < 0)
            continue;
        uint32_t hit = l.events & events;
        size_t len = 0;
        for (uint32_t bit = 1; bit != 0 && bit <= hit; bit <<= 1) {
            if (!(hit & bit))
                continue;
            int n = snprintf(text + len, sizeof(text) - len, "%u %s %d \n", now, uuid, int(bit));
            if (n < 0 || size_t(n) >= sizeof(text) - len)
                break;
            len += n;
        }
        if (len == 0)
            continue;
        int ret = write_all(l.fd, text, len);
        if (ret < 0) {
            kvol_log_error("write notify failed fd=%d event=%d totalsize=%u, errormsg=%s", l.fd, int(events),
                           unsigned(len), strerror(-ret));
            return;
        }
    }
}

extern "C" {

KVOL_API int kvol_notify_add_listener(kvol_t *kvol, uint32_t events, int fd, const char *path) {
    if (kvol == nullptr || fd < 0 || events == 0)
        return -EINVAL;
    kvol_listener_t *free_slot = nullptr;
    for (auto &l : kvol->listeners) {
        if (l.fd >= 0 && path != nullptr && l.path != nullptr && strcmp(l.path, path) == 0) {
            l.events |= events;
            return 0;
        }
        if (l.fd < 0 && free_slot == nullptr)
            free_slot = &l;
    }
    if (free_slot == nullptr) {
        kvol_log_error("add listener failed, all %d slots busy fd=%d", KVOL_LISTENER_SLOTS, fd);
        return -1;
    }
    char *copy = nullptr;
    if (path != nullptr && (copy = kvol_strdup(path)) == nullptr)
        return -1;
    free(free_slot->path);
    free_slot->path = copy;
    free_slot->events = events;
    free_slot->fd = fd;
    return 0;
}

KVOL_API int kvol_notify_del_listener(kvol_t *kvol, int fd) {
    if (kvol == nullptr || fd < 0)
        return -EINVAL;
    for (auto &l : kvol->listeners) {
        if (l.fd == fd) {
            l.fd = -1;
            l.events = 0;
            free(l.path);
            l.path = nullptr;
            return 0;
        }
    }
    return -EINVAL;
}

} // extern "C"
