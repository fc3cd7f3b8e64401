#include "support/checksum.hpp"

#include <bit>
#include <algorithm>
#include <cstring>

namespace sferix::support {

namespace {

constexpr std::uint64_t P1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t P2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t P3 = 0x165667B19E3779F9ULL;
constexpr std::uint64_t P4 = 0x85EBCA77C2B2AE63ULL;
constexpr std::uint64_t P5 = 0x27D4EB2F165667C5ULL;

static_assert(std::endian::native == std::endian::little, "the words are read as stored, little-endian");

std::uint64_t read64(const std::byte* at) noexcept {
    std::uint64_t value;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

std::uint32_t read32(const std::byte* at) noexcept {
    std::uint32_t value;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

std::uint64_t round(std::uint64_t lane, std::uint64_t input) noexcept {
    return std::rotl(lane + input * P2, 31) * P1;
}

std::uint64_t merge(std::uint64_t hash, std::uint64_t lane) noexcept {
    return (hash ^ round(0, lane)) * P1 + P4;
}

// Every whole 32-byte stripe of [data, data + length) into the lanes; the bytes used.
std::size_t stripes(std::uint64_t (&lanes)[4], const std::byte* data, std::size_t length) noexcept {
    std::uint64_t a = lanes[0];
    std::uint64_t b = lanes[1];
    std::uint64_t c = lanes[2];
    std::uint64_t d = lanes[3];
    std::size_t used = 0;
    for (; used + 32 <= length; used += 32) {
        a = round(a, read64(data + used));
        b = round(b, read64(data + used + 8));
        c = round(c, read64(data + used + 16));
        d = round(d, read64(data + used + 24));
    }
    lanes[0] = a;
    lanes[1] = b;
    lanes[2] = c;
    lanes[3] = d;
    return used;
}

}  // namespace

void Checksum64::update(std::span<const std::byte> data) noexcept {
    const std::byte* at = data.data();
    std::size_t left = data.size();
    total_ += left;
    if (pending_length_ != 0) {
        const std::size_t take = std::min(left, sizeof(pending_) - pending_length_);
        std::memcpy(pending_ + pending_length_, at, take);
        pending_length_ += take;
        at += take;
        left -= take;
        if (pending_length_ < sizeof(pending_)) {
            return;
        }
        stripes(lanes_, pending_, sizeof(pending_));
        pending_length_ = 0;
    }
    const std::size_t used = stripes(lanes_, at, left);
    if (used < left) {
        std::memcpy(pending_, at + used, left - used);
        pending_length_ = left - used;
    }
}

std::uint64_t Checksum64::digest() const noexcept {
    std::uint64_t hash = 0;
    if (total_ >= 32) {
        hash = std::rotl(lanes_[0], 1) + std::rotl(lanes_[1], 7) + std::rotl(lanes_[2], 12) + std::rotl(lanes_[3], 18);
        for (const std::uint64_t lane : lanes_) {
            hash = merge(hash, lane);
        }
    } else {
        hash = lanes_[2] + P5;  // the seed, 0
    }
    hash += total_;
    const std::byte* at = pending_;
    std::size_t left = pending_length_;
    for (; left >= 8; at += 8, left -= 8) {
        hash = std::rotl(hash ^ round(0, read64(at)), 27) * P1 + P4;
    }
    if (left >= 4) {
        hash = std::rotl(hash ^ (std::uint64_t{read32(at)} * P1), 23) * P2 + P3;
        at += 4;
        left -= 4;
    }
    for (; left > 0; ++at, --left) {
        hash = std::rotl(hash ^ (std::to_integer<std::uint64_t>(*at) * P5), 11) * P1;
    }
    hash ^= hash >> 33;
    hash *= P2;
    hash ^= hash >> 29;
    hash *= P3;
    hash ^= hash >> 32;
    return hash;
}

}  // namespace sferix::support
