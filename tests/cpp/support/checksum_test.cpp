#include "support/checksum.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <string_view>
#include <vector>

namespace sferix::support {
namespace {

std::span<const std::byte> bytes_of(std::string_view text) { return std::as_bytes(std::span(text.data(), text.size())); }

// The published XXH64 values (seed 0), so that other tools can check a stored tree.
TEST(Checksum64, MatchesPublishedValues) {
    EXPECT_EQ(Checksum64::of({}), 0xEF46DB3751D8E999ULL);
    EXPECT_EQ(Checksum64::of(bytes_of("abc")), 0x44BC2CF5AD770999ULL);
}

// Fed in pieces of every size, across the 32-byte stripes, it sums as in one piece.
TEST(Checksum64, PiecesSumAsTheWhole) {
    std::mt19937_64 random(3);
    std::vector<std::byte> data(1000);
    for (std::byte& b : data) {
        b = static_cast<std::byte>(random());
    }
    for (const std::size_t length : {0U, 7U, 31U, 32U, 33U, 100U, 1000U}) {
        const std::span<const std::byte> whole(data.data(), length);
        for (const std::size_t piece : {1U, 3U, 8U, 31U, 32U, 50U}) {
            Checksum64 sum;
            for (std::size_t at = 0; at < length; at += piece) {
                sum.update(whole.subspan(at, std::min(piece, length - at)));
            }
            EXPECT_EQ(sum.digest(), Checksum64::of(whole)) << length << " in pieces of " << piece;
        }
    }
}

}  // namespace
}  // namespace sferix::support
