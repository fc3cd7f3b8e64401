#pragma once

// An independent exact determinant sign in GMP integers, for checking the predicate.
// Every finite double is m · 2^e with an integer m of at most 53 bits, so each row is
// 2^(its smallest e) times an integer vector, and det[a; b; c] has the sign of the
// integer determinant. Integers are kept in reused mpz objects: no allocation per call
// once they have grown, and no gcd work as with rationals.

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include <gmpxx.h>

#include "predicates/orient3d.hpp"

namespace sferix::predicates::testing {

class ExactReference {
public:
    [[nodiscard]] int sign(const Vector3& a, const Vector3& b, const Vector3& c) {
        load(a, rows_[0]);
        load(b, rows_[1]);
        load(c, rows_[2]);
        const auto& [ax, ay, az] = rows_[0];
        const auto& [bx, by, bz] = rows_[1];
        const auto& [cx, cy, cz] = rows_[2];
        mpz_mul(minor_.get_mpz_t(), by.get_mpz_t(), cz.get_mpz_t());
        mpz_submul(minor_.get_mpz_t(), bz.get_mpz_t(), cy.get_mpz_t());
        mpz_mul(det_.get_mpz_t(), ax.get_mpz_t(), minor_.get_mpz_t());
        mpz_mul(minor_.get_mpz_t(), bz.get_mpz_t(), cx.get_mpz_t());
        mpz_submul(minor_.get_mpz_t(), bx.get_mpz_t(), cz.get_mpz_t());
        mpz_addmul(det_.get_mpz_t(), ay.get_mpz_t(), minor_.get_mpz_t());
        mpz_mul(minor_.get_mpz_t(), bx.get_mpz_t(), cy.get_mpz_t());
        mpz_submul(minor_.get_mpz_t(), by.get_mpz_t(), cx.get_mpz_t());
        mpz_addmul(det_.get_mpz_t(), az.get_mpz_t(), minor_.get_mpz_t());
        return sgn(det_);
    }

private:
    using Row = std::array<mpz_class, 3>;

    // Integer mantissa and exponent: value = mantissa · 2^exponent (mantissa 0 for 0).
    static std::pair<std::int64_t, int> decompose(double value) {
        if (value == 0.0) {
            return {0, 0};
        }
        int exponent = 0;
        const double fraction = std::frexp(value, &exponent);  // |fraction| in [0.5, 1)
        constexpr int kDigits = std::numeric_limits<double>::digits;
        return {static_cast<std::int64_t>(std::ldexp(fraction, kDigits)), exponent - kDigits};
    }

    void load(const Vector3& v, Row& row) {
        std::array<std::pair<std::int64_t, int>, 3> parts{};
        int lowest = std::numeric_limits<int>::max();
        for (int i = 0; i < 3; ++i) {
            parts[i] = decompose(v[i]);
            if (parts[i].first != 0 && parts[i].second < lowest) {
                lowest = parts[i].second;
            }
        }
        for (int i = 0; i < 3; ++i) {
            mpz_set_si(row[i].get_mpz_t(), static_cast<long>(parts[i].first));
            if (parts[i].first != 0) {
                mpz_mul_2exp(row[i].get_mpz_t(), row[i].get_mpz_t(),
                             static_cast<mp_bitcnt_t>(parts[i].second - lowest));
            }
        }
    }

    std::array<Row, 3> rows_;
    mpz_class minor_;
    mpz_class det_;
};

// The same sign through rationals built from the exact doubles: slow, but with no
// mantissa bookkeeping, so it cross-checks ExactReference itself.
[[nodiscard]] inline int rational_sign(const Vector3& a, const Vector3& b, const Vector3& c) {
    auto q = [](double x) { return mpq_class(x); };
    const mpq_class det = q(a[0]) * (q(b[1]) * q(c[2]) - q(b[2]) * q(c[1])) +
                          q(a[1]) * (q(b[2]) * q(c[0]) - q(b[0]) * q(c[2])) +
                          q(a[2]) * (q(b[0]) * q(c[1]) - q(b[1]) * q(c[0]));
    return sgn(det);
}

}  // namespace sferix::predicates::testing
