#include "support/float_text.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace sferix::support {
namespace {

struct FloatTextCase {
    double value;
    std::string text;
};

class FloatText : public ::testing::TestWithParam<FloatTextCase> {};

TEST_P(FloatText, ShortestPositionalDigits) {
    EXPECT_EQ(format_float(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    HardCases, FloatText,
    ::testing::Values(FloatTextCase{0.1, "0.1"}, FloatTextCase{2.5, "2.5"}, FloatTextCase{1e-7, "0.0000001"},
                      FloatTextCase{180.0000001, "180.0000001"}, FloatTextCase{-0.0, "-0"}, FloatTextCase{0.0, "0"},
                      FloatTextCase{10.0, "10"}, FloatTextCase{200.0, "200"}, FloatTextCase{-90.5, "-90.5"},
                      FloatTextCase{1e300, "1" + std::string(300, '0')},
                      FloatTextCase{5e-324, "0." + std::string(323, '0') + "5"},
                      FloatTextCase{1.7976931348623157e308, "17976931348623157" + std::string(292, '0')},
                      FloatTextCase{123456.789, "123456.789"}, FloatTextCase{1e16, "10000000000000000"},
                      FloatTextCase{0.30000000000000004, "0.30000000000000004"}));

TEST(FloatText, NonFiniteValues) {
    EXPECT_EQ(format_float(std::numeric_limits<double>::quiet_NaN()), "nan");
    EXPECT_EQ(format_float(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(format_float(-std::numeric_limits<double>::infinity()), "-inf");
}

}  // namespace
}  // namespace sferix::support
