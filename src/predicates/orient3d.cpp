#include "predicates/orient3d.hpp"

#include <cmath>
#include <limits>

#include "predicates/expansion.hpp"
#include "predicates/orient3d_stages.hpp"

namespace sferix::predicates {

namespace stages {

// Unit roundoff of binary64: every rounded operation has relative error at most this.
constexpr double UNIT_ROUNDOFF = std::numeric_limits<double>::epsilon() / 2;  // 2^-53

// Each monomial a_i b_j c_k of the determinant passes through at most 5 rounded
// operations (two products, the 2x2 minor's difference, the scaling by a_i, two sums), so
// |det_fl − det| <= γ5 · permanent with γ5 = 5u / (1 − 5u); allowing for the ≤5 roundings
// in the computed permanent and the one in bound * permanent raises that to
// 5u / ((1 − 5u)(1 − u)^6) < (5 + 56u)u, which (5 + 64u)u bounds from above.
constexpr double ORIENT_ERROR_BOUND = (5.0 + 64.0 * UNIT_ROUNDOFF) * UNIT_ROUNDOFF;

int filtered_sign(const Vector3& a, const Vector3& b, const Vector3& c) noexcept {
    const double bycz = b[1] * c[2];
    const double bzcy = b[2] * c[1];
    const double bzcx = b[2] * c[0];
    const double bxcz = b[0] * c[2];
    const double bxcy = b[0] * c[1];
    const double bycx = b[1] * c[0];
    const double det = a[0] * (bycz - bzcy) + a[1] * (bzcx - bxcz) + a[2] * (bxcy - bycx);
    const double permanent = std::fabs(a[0]) * (std::fabs(bycz) + std::fabs(bzcy)) +
                             std::fabs(a[1]) * (std::fabs(bzcx) + std::fabs(bxcz)) +
                             std::fabs(a[2]) * (std::fabs(bxcy) + std::fabs(bycx));
    const double bound = ORIENT_ERROR_BOUND * permanent;
    // Written so that a NaN fails both tests and reports "not decided".
    if (det > bound) {
        return 1;
    }
    if (-det > bound) {
        return -1;
    }
    return 0;
}

// Each 2x2 minor is an exact difference of two exact products (4 components), scaled
// exactly by the matching component of a (8), and the three terms summed exactly (24).
int exact_sign(const Vector3& a, const Vector3& b, const Vector3& c) noexcept {
    using namespace expansion;
    const Expansion<4> minor_x = two_two_diff(two_product(b[1], c[2]), two_product(b[2], c[1]));
    const Expansion<4> minor_y = two_two_diff(two_product(b[2], c[0]), two_product(b[0], c[2]));
    const Expansion<4> minor_z = two_two_diff(two_product(b[0], c[1]), two_product(b[1], c[0]));
    const Expansion<8> term_x = scale_expansion(minor_x, a[0]);
    const Expansion<8> term_y = scale_expansion(minor_y, a[1]);
    const Expansion<8> term_z = scale_expansion(minor_z, a[2]);
    return expansion_sum(expansion_sum(term_x, term_y), term_z).sign();
}

}  // namespace stages

int orient3d_sign(const Vector3& a, const Vector3& b, const Vector3& c) noexcept {
    const int filtered = stages::filtered_sign(a, b, c);
    return filtered != 0 ? filtered : stages::exact_sign(a, b, c);
}

}  // namespace sferix::predicates
