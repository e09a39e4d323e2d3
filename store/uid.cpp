#include "store/uid.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <random>

namespace ravu {

std::string newUid() {
    std::array<unsigned char, 16> bytes{};
    bool filled = false;
    try {
        std::random_device device;
        for (unsigned char& byte : bytes) {
            byte = static_cast<unsigned char>(device());
        }
        filled = true;
    } catch (const std::exception&) {
    }
    if (!filled) {
        std::ifstream urandom("/dev/urandom", std::ios::binary);
        filled =
            static_cast<bool>(urandom.read(reinterpret_cast<char*>(bytes.data()), bytes.size()));
    }
    if (!filled) {
        // No source of randomness at all: a clock-seeded generator still gives distinct names,
        // and a new file never replaces an existing one anyway.
        std::mt19937_64 generator(static_cast<std::uint64_t>(
            std::chrono::system_clock::now().time_since_epoch().count()));
        for (unsigned char& byte : bytes) {
            byte = static_cast<unsigned char>(generator());
        }
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    std::string uid;
    char hex[3];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            uid += '-';
        }
        std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
        uid += hex;
    }
    return uid;
}

}  // namespace ravu
