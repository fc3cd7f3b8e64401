#pragma once

// Exact floating-point arithmetic on expansions: a value is held as an unevaluated sum of
// doubles, ordered by increasing magnitude, whose components do not overlap bit-wise.
// These are the error-free transformations of the adaptive-precision method (Two-Sum,
// Fast-Two-Sum, Dekker's split and Two-Product) and the two expansion operations the
// orientation predicate needs (scaling by a double, summing two expansions).
//
// REQUIRES: IEEE 754 binary64 in round-to-nearest-even mode, and no contraction of
// a * b + c into a fused multiply-add (the build passes -ffp-contract=off): every error
// term below is the exact rounding error of ONE rounded operation, which a fused
// operation would change.
// CAVEAT: exactness needs every product to stay clear of underflow and overflow; see
// orient3d.hpp for the input range that guarantees it.

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

namespace sferix::predicates::expansion {

static_assert(std::numeric_limits<double>::is_iec559, "the exact arithmetic needs IEEE 754 doubles");
static_assert(std::numeric_limits<double>::digits == 53, "the splitter assumes a 53-bit significand");

// A double and the exact rounding error that separates it from the true result.
struct Pair {
    double high;  // the rounded result
    double low;   // true result − high, exactly
};

// Exact a + b for any a, b (Knuth's Two-Sum, 6 operations).
[[nodiscard]] inline Pair two_sum(double a, double b) noexcept {
    const double x = a + b;
    const double b_virtual = x - a;
    const double a_virtual = x - b_virtual;
    const double b_roundoff = b - b_virtual;
    const double a_roundoff = a - a_virtual;
    return {x, a_roundoff + b_roundoff};
}

// Exact a − b for any a, b.
[[nodiscard]] inline Pair two_diff(double a, double b) noexcept {
    const double x = a - b;
    const double b_virtual = a - x;
    const double a_virtual = x + b_virtual;
    const double b_roundoff = b_virtual - b;
    const double a_roundoff = a - a_virtual;
    return {x, a_roundoff + b_roundoff};
}

// Exact a + b when |a| >= |b| or a == 0 (Dekker's Fast-Two-Sum, 3 operations).
[[nodiscard]] inline Pair fast_two_sum(double a, double b) noexcept {
    const double x = a + b;
    const double b_virtual = x - a;
    return {x, b - b_virtual};
}

// 2^ceil(53 / 2) + 1: multiplying by it and subtracting splits a double into two halves
// of at most 26 significant bits each, so products of halves are exact (Veltkamp).
inline constexpr double SPLITTER =
    static_cast<double>((1ULL << ((std::numeric_limits<double>::digits + 1) / 2)) + 1);

// a = high + low exactly, each half with at most 26 significant bits. Needs |a| < 2^996
// so that SPLITTER * a does not overflow.
[[nodiscard]] inline Pair split(double a) noexcept {
    const double c = SPLITTER * a;
    const double a_big = c - a;
    const double high = c - a_big;
    return {high, a - high};
}

// Exact a * b given the split of b (saves the split when one factor is reused).
[[nodiscard]] inline Pair two_product_presplit(double a, double b, Pair b_split) noexcept {
    const double x = a * b;
    const Pair a_split = split(a);
    const double err1 = x - a_split.high * b_split.high;
    const double err2 = err1 - a_split.low * b_split.high;
    const double err3 = err2 - a_split.high * b_split.low;
    return {x, a_split.low * b_split.low - err3};
}

// Exact a * b (Dekker's Two-Product, no fused multiply-add).
[[nodiscard]] inline Pair two_product(double a, double b) noexcept {
    return two_product_presplit(a, b, split(b));
}

// A fixed-capacity expansion: components[0 .. size) in increasing magnitude.
template <std::size_t Capacity>
struct Expansion {
    std::array<double, Capacity> components{};
    std::size_t size = 0;

    void push_nonzero(double value) noexcept {
        if (value != 0.0) {
            components[size++] = value;
        }
    }

    // Keeps at least one component (possibly 0) so that `most_significant` is defined.
    void finish(double last) noexcept {
        if (last != 0.0 || size == 0) {
            components[size++] = last;
        }
    }

    // The sign of the exact value: the largest component dominates the sum of the others.
    [[nodiscard]] int sign() const noexcept {
        const double top = components[size - 1];
        return (top > 0.0) - (top < 0.0);
    }
};

// The exact difference (a.high + a.low) − (b.high + b.low) as a 4-component expansion
// (zeros kept): grow the expansion a by −b.low, then by −b.high (Grow-Expansion twice).
[[nodiscard]] inline Expansion<4> two_two_diff(Pair a, Pair b) noexcept {
    const Pair low_diff = two_diff(a.low, b.low);
    const Pair grown = two_sum(a.high, low_diff.high);
    const Pair high_diff = two_diff(grown.low, b.high);
    const Pair top = two_sum(grown.high, high_diff.high);
    Expansion<4> result;
    result.components = {low_diff.low, high_diff.low, top.low, top.high};
    result.size = 4;
    return result;
}

// The exact product e * b with zero components removed (Scale-Expansion). A nonoverlapping
// (nonadjacent) e gives a nonoverlapping (nonadjacent) result of at most 2 * e.size parts.
template <std::size_t Capacity>
[[nodiscard]] Expansion<2 * Capacity> scale_expansion(const Expansion<Capacity>& e, double b) noexcept {
    Expansion<2 * Capacity> h;
    const Pair b_split = split(b);
    const Pair first = two_product_presplit(e.components[0], b, b_split);
    double q = first.high;
    h.push_nonzero(first.low);
    for (std::size_t i = 1; i < e.size; ++i) {
        const Pair product = two_product_presplit(e.components[i], b, b_split);
        const Pair sum = two_sum(q, product.low);
        h.push_nonzero(sum.low);
        const Pair carried = fast_two_sum(product.high, sum.high);
        h.push_nonzero(carried.low);
        q = carried.high;
    }
    h.finish(q);
    return h;
}

// The exact sum e + f with zero components removed (Fast-Expansion-Sum: merge the
// components by magnitude, then carry a running sum through them). Needs strongly
// nonoverlapping inputs and round-to-even; the result is strongly nonoverlapping.
template <std::size_t CapacityE, std::size_t CapacityF>
[[nodiscard]] Expansion<CapacityE + CapacityF> expansion_sum(const Expansion<CapacityE>& e,
                                                             const Expansion<CapacityF>& f) noexcept {
    Expansion<CapacityE + CapacityF> h;
    std::size_t ie = 0;
    std::size_t jf = 0;
    // Takes the smaller-magnitude head of the two inputs.
    auto take_smaller = [&]() noexcept -> double {
        if (jf >= f.size ||
            (ie < e.size && std::fabs(e.components[ie]) < std::fabs(f.components[jf]))) {
            return e.components[ie++];
        }
        return f.components[jf++];
    };
    double q = take_smaller();
    if (ie < e.size && jf < f.size) {
        // The first two merged parts are ordered by magnitude, so the cheap sum is exact.
        const Pair sum = fast_two_sum(take_smaller(), q);
        h.push_nonzero(sum.low);
        q = sum.high;
    }
    while (ie < e.size || jf < f.size) {
        const Pair sum = two_sum(q, take_smaller());
        h.push_nonzero(sum.low);
        q = sum.high;
    }
    h.finish(q);
    return h;
}

}  // namespace sferix::predicates::expansion
