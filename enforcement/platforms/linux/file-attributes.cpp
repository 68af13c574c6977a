#include "enforcement/platforms/file-attributes.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace {
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorGenFailure = 31;
} // namespace

bool platform_get_file_attributes(const char *path, platform_file_attributes *out, uint32_t *win32_error)
{
    struct statx st;
    if (statx(AT_FDCWD, path, AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) {
        switch (errno) {
        case ENOENT:
            *win32_error = kErrorFileNotFound;
            break;
        case ENOTDIR:
            *win32_error = kErrorPathNotFound;
            break;
        case EACCES:
        case EPERM:
            *win32_error = kErrorAccessDenied;
            break;
        default:
            *win32_error = kErrorGenFailure;
        }
        return false;
    }
    *out = platform_file_attributes{};
    out->directory = S_ISDIR(st.stx_mode);
    out->read_only = (st.stx_mode & 0222) == 0;
    out->executable = S_ISREG(st.stx_mode) && (st.stx_mode & 0111) != 0;
    out->size = st.stx_size;
    out->access_time = st.stx_atime.tv_sec;
    out->modification_time = st.stx_mtime.tv_sec;
    out->creation_time = (st.stx_mask & STATX_BTIME) ? st.stx_btime.tv_sec : st.stx_ctime.tv_sec;
    return true;
}
