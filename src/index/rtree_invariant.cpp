#include "rtree/invariant.hpp"

#include "support/panic.hpp"

namespace sferix::rtree {

// The tree's broken invariants reach Python like every other one: as the panic.
void invariant_broken(std::string_view message) { support::panic(message); }

}  // namespace sferix::rtree
