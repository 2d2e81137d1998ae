#include "base/Identifiers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <system_error>

#if defined(__APPLE__)
#include <stdlib.h>
#else
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>
#endif

namespace Lumenbox {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

#if !defined(__APPLE__)
// For kernels older than getrandom (before 3.17): the same pool through its device.
void readUrandom(unsigned char* out, std::size_t size) {
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "open /dev/urandom");
    while (size > 0) {
        const ssize_t got = ::read(fd, out, size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            const int error = got < 0 ? errno : EIO;
            ::close(fd);
            throw std::system_error(error, std::generic_category(), "read /dev/urandom");
        }
        out += got;
        size -= static_cast<std::size_t>(got);
    }
    ::close(fd);
}
#endif

// Ids are drawn on the script-call path: one system call per id would cost more than the rest of
// the id. Each thread keeps a small pool from the CSPRNG and hands out each byte once.
void takeRandomBytes(std::uint8_t* out, std::size_t size);

}  // namespace

void fillSecureRandom(void* out, std::size_t size) {
#if defined(__APPLE__)
    arc4random_buf(out, size);
#else
    auto* bytes = static_cast<unsigned char*>(out);
    while (size > 0) {
        const ssize_t got = ::getrandom(bytes, size, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno == ENOSYS) return readUrandom(bytes, size);
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
#endif
}

std::string generateUuid() {
    std::uint8_t bytes[16];
    takeRandomBytes(bytes, sizeof bytes);
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x80);  // version 8
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // variant 10
    std::string id;
    id.reserve(36);
    for (std::size_t i = 0; i < sizeof bytes; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) id.push_back('-');
        id.push_back(kHexDigits[bytes[i] >> 4]);
        id.push_back(kHexDigits[bytes[i] & 0x0F]);
    }
    return id;
}

namespace {

void takeRandomBytes(std::uint8_t* out, std::size_t size) {
    struct Pool {
        std::uint8_t bytes[512];
        std::size_t used = sizeof bytes;  // empty until first use
    };
    thread_local Pool pool;
    while (size > 0) {
        if (pool.used == sizeof pool.bytes) {
            fillSecureRandom(pool.bytes, sizeof pool.bytes);
            pool.used = 0;
        }
        const std::size_t take = std::min(size, sizeof pool.bytes - pool.used);
        std::memcpy(out, pool.bytes + pool.used, take);
        std::memset(pool.bytes + pool.used, 0, take);  // no byte is handed out twice, nor kept
        pool.used += take;
        out += take;
        size -= take;
    }
}

}  // namespace

bool isBridgeIssuedId(std::string_view id) {
    if (id.size() != 36) return false;
    for (std::size_t i = 0; i < id.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? id[i] != '-' : !isHexDigit(id[i])) return false;
    }
    const char variant = id[19];
    return id[14] == '8' &&
           (variant == '8' || variant == '9' || variant == 'a' || variant == 'b' || variant == 'A' || variant == 'B');
}

}  // namespace Lumenbox
