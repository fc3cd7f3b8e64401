#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <variant>

namespace sferix::geodetic {

// The geometry library's single error: six kinds, each with a fixed message text.
// Every fallible operation returns its value or one of these; nothing throws.
class GeodeticError {
public:
    enum class Kind {
        LongitudeOutOfRange = 0,  // payload: the longitude
        LatitudeOutOfRange = 1,   // payload: the latitude
        NonFinite = 2,
        TooFewPoints = 3,         // payload: found, need
        AntipodalEdge = 4,        // payload: the 0-based edge index
        UnclosedRing = 5,
    };

    [[nodiscard]] static GeodeticError longitude_out_of_range(double lon) { return {Kind::LongitudeOutOfRange, lon, 0, 0}; }
    [[nodiscard]] static GeodeticError latitude_out_of_range(double lat) { return {Kind::LatitudeOutOfRange, lat, 0, 0}; }
    [[nodiscard]] static GeodeticError non_finite() { return {Kind::NonFinite, 0.0, 0, 0}; }
    [[nodiscard]] static GeodeticError too_few_points(std::size_t found, std::size_t need) { return {Kind::TooFewPoints, 0.0, found, need}; }
    [[nodiscard]] static GeodeticError antipodal_edge(std::size_t index) { return {Kind::AntipodalEdge, 0.0, index, 0}; }
    [[nodiscard]] static GeodeticError unclosed_ring() { return {Kind::UnclosedRing, 0.0, 0, 0}; }

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    // The offending longitude or latitude (range errors only).
    [[nodiscard]] double value() const noexcept { return value_; }
    // TooFewPoints: found; AntipodalEdge: the edge index.
    [[nodiscard]] std::size_t found() const noexcept { return first_; }
    [[nodiscard]] std::size_t need() const noexcept { return second_; }
    [[nodiscard]] std::size_t edge_index() const noexcept { return first_; }

    // The display text, e.g. "longitude 200 outside [-180.0, 180.0]".
    [[nodiscard]] std::string message() const;

    friend bool operator==(const GeodeticError&, const GeodeticError&) = default;

private:
    GeodeticError(Kind kind, double value, std::size_t first, std::size_t second)
        : kind_(kind), value_(value), first_(first), second_(second) {}

    Kind kind_;
    double value_;
    std::size_t first_;
    std::size_t second_;
};

// The value of a fallible operation, or its GeodeticError.
template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
    Result(GeodeticError error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

    [[nodiscard]] bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    // REQUIRES: has_value() (resp. !has_value()).
    [[nodiscard]] T& value() & { return std::get<0>(state_); }
    [[nodiscard]] const T& value() const& { return std::get<0>(state_); }
    [[nodiscard]] T&& value() && { return std::get<0>(std::move(state_)); }
    [[nodiscard]] const GeodeticError& error() const { return std::get<1>(state_); }

private:
    std::variant<T, GeodeticError> state_;
};

}  // namespace sferix::geodetic
