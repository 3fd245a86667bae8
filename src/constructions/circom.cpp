#include "constructions/circom.hpp"

namespace pedersen {

std::span<const algebra::Niels<algebra::BabyJubjubMinusOneConfig>> CircomBases::shared_table(
    std::uint64_t segment) const {
    return shared::circom_table(segment);
}

template class CachingPedersen<CircomDefinition, CircomBases>;

}  // namespace pedersen
