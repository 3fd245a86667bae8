#include "constructions/zcash.hpp"

namespace pedersen {

std::span<const algebra::Niels<algebra::JubjubConfig>> SaplingBases::shared_table(std::uint64_t segment) const {
    return shared::sapling_table(segment);
}

template class CachingPedersen<ZcashDefinition, SaplingBases>;

}  // namespace pedersen
