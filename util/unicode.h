/* UTF-8 decoding of one code point at a time. */
#pragma once

#include <cstddef>

/*
 * Decodes the code point at s, reading at most n bytes. Sets *end to the first byte
 * after the decoded sequence (after the offending bytes for an invalid one) and
 * returns the code point, or -1 when the sequence is invalid: NUL, a lone
 * continuation byte, 0xFE/0xFF, truncated or malformed, above U+10FFFF, a surrogate,
 * a noncharacter or an overlong form. C0 80 decodes to U+0000.
 */
int mod_utf8_codepoint(const char *s, size_t n, const char **end);
