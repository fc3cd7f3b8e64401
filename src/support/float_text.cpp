#include "support/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace sferix::support {

std::string format_float(double value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }

    // Shortest round-trip digits in scientific form, e.g. "-1.2345e-07";
    // the digits and the decimal exponent are then laid out positionally.
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string_view scientific(buffer, static_cast<std::size_t>(result.ptr - buffer));

    const bool negative = scientific.front() == '-';
    const std::size_t e_pos = scientific.find('e');
    const std::string_view mantissa = scientific.substr(negative ? 1 : 0, e_pos - (negative ? 1 : 0));
    const int exponent = std::atoi(std::string(scientific.substr(e_pos + 1)).c_str());

    std::string digits;
    for (const char c : mantissa) {
        if (c != '.') {
            digits.push_back(c);
        }
    }
    while (digits.size() > 1 && digits.back() == '0') {
        digits.pop_back();
    }

    std::string text = negative ? "-" : "";
    // Position of the decimal point counted from the start of `digits`.
    const long point = static_cast<long>(exponent) + 1;
    const long count = static_cast<long>(digits.size());
    if (digits == "0") {
        text += "0";
    } else if (point <= 0) {
        text += "0.";
        text.append(static_cast<std::size_t>(-point), '0');
        text += digits;
    } else if (point >= count) {
        text += digits;
        text.append(static_cast<std::size_t>(point - count), '0');
    } else {
        text.append(digits, 0, static_cast<std::size_t>(point));
        text += '.';
        text.append(digits, static_cast<std::size_t>(point), std::string::npos);
    }
    return text;
}

}  // namespace sferix::support
