#pragma once

// The checksum of the binary form: XXH64 (Yann Collet's published 64-bit hash), seed 0,
// fed in pieces of any size.
//
//   Checksum64 sum;
//   sum.update(header); sum.update(body);
//   std::uint64_t value = sum.digest();   // == Checksum64::of(header + body)
//
// Why this one: the form is written and read at memory speed (61 MB for 10^6 points),
// and XXH64 runs at several bytes per cycle in portable code, four independent lanes of
// multiply and rotate, with no CPU-specific instruction to select at run time (which a
// CRC-32C at that speed would need: the crc32 instruction, unusable without a CPU check
// as builds may not assume SSE 4.2). Its 64 bits leave a random corruption a 2^-64
// chance of passing, where 32-bit CRCs give 2^-32; CRCs' guarantees for few-bit errors
// hold only for messages far shorter than a tree's. It detects accidents, not forgery.

#include <cstddef>
#include <cstdint>
#include <span>

namespace sferix::support {

class Checksum64 {
public:
    void update(std::span<const std::byte> data) noexcept;
    [[nodiscard]] std::uint64_t digest() const noexcept;

    [[nodiscard]] static std::uint64_t of(std::span<const std::byte> data) noexcept {
        Checksum64 sum;
        sum.update(data);
        return sum.digest();
    }

private:
    static constexpr std::uint64_t P1 = 0x9E3779B185EBCA87ULL;
    static constexpr std::uint64_t P2 = 0xC2B2AE3D27D4EB4FULL;

    std::uint64_t lanes_[4] = {P1 + P2, P2, 0, 0 - P1};
    std::uint64_t total_ = 0;
    std::byte pending_[32] = {};
    std::size_t pending_length_ = 0;
};

}  // namespace sferix::support
