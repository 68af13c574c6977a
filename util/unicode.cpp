#include "util/unicode.h"

static bool is_noncharacter(long cp)
{
    return (cp >= 0xFDD0 && cp <= 0xFDEF) || (cp & 0xFFFE) == 0xFFFE;
}

int mod_utf8_codepoint(const char *s, size_t n, const char **end)
{
    /* Smallest code point that needs the given number of continuation bytes. */
    static const long min_cp[6] = {0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);

    if (n == 0 || *p == 0) {
        *end = s;
        return -1;
    }
    long cp = *p;
    if (cp < 0x80) {
        *end = s + 1;
        return static_cast<int>(cp);
    }
    if (cp >= 0xFE || (cp & 0xC0) == 0x80) {
        *end = s + 1;
        return -1;
    }

    int len = 0;
    unsigned mask = 0x40;
    for (; cp & mask; mask >>= 1) {
        len++;
    }
    cp &= mask - 1;
    for (int i = 1; i <= len; i++) {
        if (static_cast<size_t>(i) >= n || (p[i] & 0xC0) != 0x80) {
            /* The offending byte starts the next sequence. */
            *end = s + i;
            return -1;
        }
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    *end = s + len + 1;

    if (cp > 0x10FFFF) {
        return -1;
    }
    if (cp < min_cp[len] && !(cp == 0 && len == 1)) {
        return -1; /* overlong, except the C0 80 form of U+0000 */
    }
    if ((cp >= 0xD800 && cp <= 0xDFFF) || is_noncharacter(cp)) {
        return -1;
    }
    return static_cast<int>(cp);
}
