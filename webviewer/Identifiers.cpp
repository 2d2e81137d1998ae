#include "webviewer/Identifiers.h"

#include <charconv>
#include <cstdint>
#include <mutex>
#include <random>

namespace Lumenbox {

namespace {

// Lower-case hex of `value`, left-padded with '0' to `width` (a longer value is not cut).
void appendHex(std::string& out, std::uint32_t value, std::size_t width) {
    char digits[8];
    const auto end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
    const auto length = static_cast<std::size_t>(end - digits);
    if (length < width) out.append(width - length, '0');
    out.append(digits, length);
}

// One independent stream of identifiers. A std::mt19937 is not safe for concurrent use, and
// the script bridge draws fetch ids from more than one thread, so every draw holds mutex_.
// generateUuid's stream is only used from the server thread today; it is guarded all the same
// because an uncontended lock costs next to nothing beside six draws and a string, and it keeps
// a future caller on another thread from silently corrupting the generator.
class IdSource {
public:
    IdSource() : rng_(std::random_device("/dev/urandom")()) {}

    std::string next() {
        std::uint32_t d[6];
        {
            std::lock_guard lock(mutex_);
            for (auto& value : d) value = dist_(rng_);
        }
        std::string id;
        id.reserve(36);
        appendHex(id, d[0], 8);
        id.push_back('-');
        appendHex(id, d[1] & 0xFFFFu, 4);
        id.push_back('-');
        appendHex(id, d[2] & 0xFFFFu, 4);
        id.push_back('-');
        appendHex(id, d[3] & 0xFFFFu, 4);
        id.push_back('-');
        appendHex(id, d[4], 8);
        appendHex(id, d[5] & 0xFFFFu, 4);
        return id;
    }

private:
    std::mutex mutex_;
    std::mt19937 rng_;  // Guarded by mutex_
    std::uniform_int_distribution<std::uint32_t> dist_{0, 0xFFFFFFFFu};  // Guarded by mutex_
};

}  // namespace

std::string generateUuid() {
    static IdSource source;
    return source.next();
}

std::string generateFetchId() {
    static IdSource source;
    return source.next();
}

}  // namespace Lumenbox
