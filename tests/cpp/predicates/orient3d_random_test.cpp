#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "orient3d_exact_reference.hpp"
#include "predicates/orient3d.hpp"
#include "predicates/orient3d_stages.hpp"

namespace sferix::predicates {
namespace {

struct Triple {
    Vector3 a;
    Vector3 b;
    Vector3 c;
};

std::string describe(const Triple& t) {
    std::ostringstream out;
    out.precision(17);
    for (const Vector3* v : {&t.a, &t.b, &t.c}) {
        out << "(" << (*v)[0] << ", " << (*v)[1] << ", " << (*v)[2] << ") ";
    }
    return out.str();
}

// Triples whose determinant is zero or within a few ulps of zero, the inputs the
// floating-point filter cannot decide and the exact path must get right.
class NearDegenerateGenerator {
public:
    static constexpr int kKinds = 6;

    explicit NearDegenerateGenerator(std::uint64_t seed) : rng_(seed) {}

    Triple next(int kind) {
        Triple t{};
        switch (kind) {
            case 0: t = on_great_circle(); break;
            case 1: t = repeated(); break;
            case 2: t = antipodal(); break;
            case 3: t = exactly_coplanar(); break;
            case 4: t = near_pole(); break;
            default: t = last_bit_apart(); break;
        }
        shuffle(t);
        return t;
    }

private:
    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
    int integer(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool coin() { return integer(0, 1) == 1; }

    static Vector3 normalized(const Vector3& v) {
        const double n = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        return {v[0] / n, v[1] / n, v[2] / n};
    }

    Vector3 unit() {
        for (;;) {
            const Vector3 v{uniform(-1, 1), uniform(-1, 1), uniform(-1, 1)};
            const double n_2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
            if (n_2 > 0.01 && n_2 <= 1) {
                return normalized(v);
            }
        }
    }

    // Moves one random component by up to `max_ulps` ulps (possibly none).
    Vector3 nudge(Vector3 v, int max_ulps = 2) {
        double& x = v[integer(0, 2)];
        const int steps = integer(-max_ulps, max_ulps);
        for (int i = 0; i < std::abs(steps); ++i) {
            x = std::nextafter(x, steps > 0 ? 2.0 : -2.0);
        }
        return v;
    }

    // c rounded onto the great circle through a and b, then nudged.
    Triple on_great_circle() {
        const Vector3 a = unit();
        const Vector3 b = unit();
        const double s = uniform(-1, 1);
        const double r = uniform(-1, 1);
        const Vector3 c = normalized({s * a[0] + r * b[0], s * a[1] + r * b[1], s * a[2] + r * b[2]});
        return {a, b, nudge(c)};
    }

    Triple repeated() {
        const Vector3 a = unit();
        const Vector3 b = unit();
        return {a, b, coin() ? a : nudge(b, 1)};
    }

    Triple antipodal() {
        const Vector3 a = unit();
        const Vector3 b = unit();
        const Vector3 minus_a{-a[0], -a[1], -a[2]};
        return {a, b, coin() ? minus_a : nudge(minus_a, 1)};
    }

    // Short dyadic components, so sums and doublings are exact and det is exactly 0;
    // or three points in a coordinate plane, sometimes lifted off it by a tiny amount.
    Triple exactly_coplanar() {
        auto dyadic = [this] { return std::ldexp(integer(-(1 << 24), 1 << 24), -24); };
        if (coin()) {
            const Vector3 a{dyadic(), dyadic(), dyadic()};
            const Vector3 b{dyadic(), dyadic(), dyadic()};
            const double k = std::ldexp(1.0, integer(-3, 3));
            const double sign = coin() ? 1.0 : -1.0;
            return {a, b, {k * a[0] + sign * b[0], k * a[1] + sign * b[1], k * a[2] + sign * b[2]}};
        }
        const int axis = integer(0, 2);
        Triple t{unit(), unit(), unit()};
        for (Vector3* v : {&t.a, &t.b, &t.c}) {
            (*v)[axis] = 0.0;
        }
        if (coin()) {
            t.c[axis] = (coin() ? 1.0 : -1.0) * std::ldexp(1.0, -integer(50, 300));
        }
        return t;
    }

    // Points within ~1e-15 .. 1e-40 of a pole (tiny x, y), the pole itself among them.
    Triple near_pole() {
        const double z_sign = coin() ? 1.0 : -1.0;
        auto around_pole = [&] {
            if (integer(0, 5) == 0) {
                return Vector3{0.0, 0.0, z_sign};
            }
            const double r = std::pow(10.0, -uniform(15, 40));
            const double theta = uniform(0, 6.283185307179586);
            return Vector3{r * std::cos(theta), r * std::sin(theta), z_sign * std::sqrt(1 - r * r)};
        };
        Triple t{around_pole(), around_pole(), around_pole()};
        if (coin()) {
            t.c = {t.a[0] * 0.5 + t.b[0] * 0.5, t.a[1] * 0.5 + t.b[1] * 0.5, t.c[2]};
        }
        // Put the pole on a random axis.
        const int axis = integer(0, 2);
        for (Vector3* v : {&t.a, &t.b, &t.c}) {
            std::swap((*v)[2], (*v)[axis]);
        }
        return t;
    }

    Triple last_bit_apart() {
        const Vector3 a = unit();
        const Vector3 b = unit();
        Vector3 c = nudge(b, 1);
        if (coin()) {
            c = nudge(c, 1);
        }
        return {a, b, c};
    }

    // Random order and random sign of whole vectors: both exact operations.
    void shuffle(Triple& t) {
        std::array<Vector3, 3> v{t.a, t.b, t.c};
        std::shuffle(v.begin(), v.end(), rng_);
        for (Vector3& p : v) {
            if (coin()) {
                p = {-p[0], -p[1], -p[2]};
            }
        }
        t = {v[0], v[1], v[2]};
    }

    std::mt19937_64 rng_;
};

struct Tally {
    int cases = 0;
    int zeros = 0;
    int undecided_by_filter = 0;
    int mismatches = 0;
};

// Checks the predicate, both stages and one swap against the reference sign.
void check(const Triple& t, int expected, Tally& tally) {
    ++tally.cases;
    const int filtered = stages::filtered_sign(t.a, t.b, t.c);
    tally.zeros += expected == 0;
    tally.undecided_by_filter += filtered == 0;
    const bool ok = orient3d_sign(t.a, t.b, t.c) == expected &&
                    stages::exact_sign(t.a, t.b, t.c) == expected &&
                    (filtered == 0 || filtered == expected) &&
                    orient3d_sign(t.b, t.a, t.c) == -expected;
    if (!ok && ++tally.mismatches <= 10) {
        ADD_FAILURE() << "expected " << expected << " for " << describe(t);
    }
}

TEST(Orient3dRandom, ReferenceAgreesWithRationals) {
    NearDegenerateGenerator generator(1);
    testing::ExactReference reference;
    for (int i = 0; i < 20'000; ++i) {
        const Triple t = generator.next(i % NearDegenerateGenerator::kKinds);
        ASSERT_EQ(reference.sign(t.a, t.b, t.c), testing::rational_sign(t.a, t.b, t.c)) << describe(t);
    }
}

TEST(Orient3dRandom, NearDegenerateMatchesExactReference) {
    constexpr int kCases = 1'000'000;
    NearDegenerateGenerator generator(20240611);
    testing::ExactReference reference;
    Tally tally;
    for (int i = 0; i < kCases; ++i) {
        const Triple t = generator.next(i % NearDegenerateGenerator::kKinds);
        check(t, reference.sign(t.a, t.b, t.c), tally);
    }
    EXPECT_EQ(tally.mismatches, 0);
    // The inputs must really reach the exact path, and hit exact zeros.
    EXPECT_GT(tally.undecided_by_filter, kCases / 2);
    EXPECT_GT(tally.zeros, kCases / 10);
    RecordProperty("undecided_by_filter", tally.undecided_by_filter);
    RecordProperty("zeros", tally.zeros);
}

// Components spread over the whole guaranteed range [2^-300, 2^300], with zeros.
TEST(Orient3dRandom, WideExponentsMatchExactReference) {
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<std::int64_t> mantissa(-(std::int64_t{1} << 53) + 1, (std::int64_t{1} << 53) - 1);
    std::uniform_int_distribution<int> exponent(-300, 300 - 53);
    std::uniform_int_distribution<int> pick(0, 7);
    auto component = [&]() -> double {
        if (pick(rng) == 0) {
            return 0.0;
        }
        double x = 0.0;
        while (x == 0.0 || std::fabs(x) < 0x1p-300) {
            x = std::ldexp(static_cast<double>(mantissa(rng)), exponent(rng));
        }
        return x;
    };
    testing::ExactReference reference;
    Tally tally;
    for (int i = 0; i < 200'000; ++i) {
        Triple t{{component(), component(), component()},
                 {component(), component(), component()},
                 {component(), component(), component()}};
        switch (i % 4) {
            case 0: t.c = t.a; break;  // exactly zero
            case 1: t.c = {t.a[0] * 0x1p-40, t.a[1] * 0x1p-40, t.a[2] * 0x1p-40}; break;
            case 2:  // one ulp off b; a zero stays, its next double is below the range
                t.c = t.b;
                t.c[i % 3] = t.c[i % 3] == 0.0 ? 0.0 : std::nextafter(t.c[i % 3], 0x1p300);
                break;
            default: break;
        }
        check(t, reference.sign(t.a, t.b, t.c), tally);
    }
    EXPECT_EQ(tally.mismatches, 0);
}

}  // namespace
}  // namespace sferix::predicates
