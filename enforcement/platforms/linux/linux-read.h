/*
 * Reading a descriptor whole, with a ceiling, for the Linux services of this folder.
 * Not a platform contract: nothing outside linux/ includes it.
 */
#pragma once

#include <cstddef>
#include <string>

/*
 * Reads fd until end of file or until out holds limit bytes (EINTR retried); the
 * descriptor is left open. false with *err set to errno when a read fails; out then
 * holds what was read before.
 */
bool linux_read_upto(int fd, size_t limit, std::string *out, int *err);
