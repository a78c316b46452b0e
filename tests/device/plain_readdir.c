/*
 * Lists a directory the way a program built without large-file support does:
 * plain readdir with the 32-bit struct dirent. On a 32-bit kernel this must
 * work for the plugin folder; under qemu-user on a 64-bit host file system it
 * fails with EOVERFLOW, which is why the project builds with
 * _FILE_OFFSET_BITS=64 (the virtual device's image check runs this).
 *
 *   plain_readdir DIR    prints each entry name but "." and "..", one a line;
 *                        status 1 and the error when reading fails
 */
#undef _FILE_OFFSET_BITS
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

#if defined(__arm__)
_Static_assert(sizeof(((struct dirent*)0)->d_off) == 4, "built with 64-bit directory offsets");
#endif

int main(int argc, char** argv)
{
    DIR* dir;
    struct dirent* entry;

    if (argc != 2) {
        fputs("usage: plain_readdir DIR\n", stderr);
        return 2;
    }
    dir = opendir(argv[1]);
    if (dir == NULL) {
        fprintf(stderr, "plain_readdir: %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    for (;;) {
        errno = 0;
        entry = readdir(dir);
        if (entry == NULL) {
            break;
        }
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
            puts(entry->d_name);
        }
    }
    if (errno != 0) {
        fprintf(stderr, "plain_readdir: %s: %s\n", argv[1], strerror(errno));
        closedir(dir);
        return 1;
    }
    closedir(dir);
    return 0;
}
