#include "linux-read.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

bool linux_read_upto(int fd, size_t limit, std::string *out, int *err)
{
    out->clear();
    char chunk[16384];
    while (out->size() < limit) {
        ssize_t n = read(fd, chunk, std::min(sizeof chunk, limit - out->size()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            *err = errno;
            return false;
        }
        if (n == 0) {
            break;
        }
        out->append(chunk, static_cast<size_t>(n));
    }
    return true;
}
