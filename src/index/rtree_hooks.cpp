#include "rtree/invariant.hpp"
#include "rtree/storage_hint.hpp"
#include "support/huge_pages.hpp"
#include "support/panic.hpp"

namespace sferix::rtree {

// The tree's broken invariants reach Python like every other one: as the panic.
void invariant_broken(std::string_view message) { support::panic(message); }

void prepare_node_storage(void* data, std::size_t bytes) noexcept { support::advise_huge_pages(data, bytes); }

}  // namespace sferix::rtree
