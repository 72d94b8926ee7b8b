// CRC-32: zlib's, in steps its 32-bit length always holds.
#include <zlib.h>

#include "core/core.h"

uint32_t crc32b_update(uint32_t crc, const void* data, int64_t length) {
    if (!data || length < 1) return crc;
    const auto* p = (const Bytef*)data;
    uLong c = crc;
    while (length > 0) {
        const uInt n = length > CRC_STEP_MAX ? CRC_STEP_MAX : (uInt)length;
        c = crc32(c, p, n);
        p += n;
        length -= n;
    }
    return (uint32_t)c;
}

uint32_t crc32b(const void* data, int64_t length) { return crc32b_update(0, data, length); }
