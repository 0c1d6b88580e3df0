/* libkvol from C: this file includes only kvol.h, is compiled as C11 and
 * links the shared library.  It makes a volume on a sparse file, opens it,
 * reads its statistics and closes it.  Exit status 0 on success. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "kvol.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s WORKDIR\n", argv[0]);
        return 2;
    }
    char path[4096];
    snprintf(path, sizeof(path), "%s/kvol_c_api.img", argv[1]);
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ftruncate(fd, 2LL << 30) != 0) {
        perror(path);
        return 1;
    }
    close(fd);
    int status = 1;
    kvol_mkfs_param_t param = {1, 0, path};
    kvol_t *vol = NULL;
    kvol_stat_t st;
    memset(&st, 0, sizeof(st));
    if (kvol_mkfs(&param) != 0) {
        fprintf(stderr, "kvol_mkfs failed\n");
    } else if ((vol = kvol_init(path, O_RDONLY)) == NULL) {
        perror("kvol_init");
    } else if (kvol_stat(vol, &st) != 0) {
        fprintf(stderr, "kvol_stat failed\n");
    } else if (kvol_mkfs_va_length(2ULL << 30) == 0) {
        fprintf(stderr, "no address space for 2 GiB\n");
    } else {
        status = 0;
        printf("volume made, opened and closed\n");
    }
    if (vol != NULL)
        kvol_fini(vol);
    unlink(path);
    return status;
}
