/*
 * What a shipped quillan.sys must be: a 32-bit x86 (PE32, i386) image for
 * the native subsystem, with an entry point in its code, base relocations
 * and a correct checksum, that imports by name, and only from the kernel,
 * the HAL and the USB driver interface library, and only the routines on
 * the allowed list below. Anything else the kernel might not provide, or
 * that the driver has no business calling, fails the check.
 */
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace driver_image {

// The routines a driver may import, by module name in lower case. Names are
// as they stand in the import tables of an x86 build (HAL spin locks as
// KfAcquireSpinLock, USBD routines with their stdcall decoration).
const std::map<std::string, std::set<std::string>>& AllowedImports();

// Every reason the image in bytes is not an acceptable driver, one sentence
// each, naming the offending routine, module or header field. Empty when
// the image passes.
std::vector<std::string> Check(const std::vector<uint8_t>& bytes);

// The image's imports as "module!routine" lines, for failure messages.
std::string DescribeImports(const std::vector<uint8_t>& bytes);

}  // namespace driver_image
