/* The platform version the module selects its driver by: 10.0 unless the environment
 * variable HV_PLATFORM_VERSION says "major.minor". */
#pragma once

void platform_version(unsigned *major, unsigned *minor);
