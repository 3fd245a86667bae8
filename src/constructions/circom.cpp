#include "constructions/circom.hpp"

#include "pedersen/wide_tables.hpp"

namespace pedersen {

const algebra::Niels<algebra::BabyJubjubMinusOneConfig>* CircomBases::wide_table_vartime(std::uint64_t segment) const {
    using Wide = Layout<CircomDefinition::Curve, CircomDefinition::Encoding, CircomDefinition::wide_chunks_per_lookup>;
    static WideTablesVartime<Wide, wide_segments> tables;
    return tables.table(segment, CircomDefinition::chunks_per_segment,
                        [](std::uint64_t s) { return CircomBases{}.base_vartime(s); });
}

const algebra::Niels<algebra::BabyJubjubMinusOneConfig>* CircomBases::widest_table_vartime(
    std::uint64_t segment) const {
    using Wide =
        Layout<CircomDefinition::Curve, CircomDefinition::Encoding, CircomDefinition::widest_chunks_per_lookup>;
    static WideTablesVartime<Wide, widest_segments> tables;
    return tables.table(segment, CircomDefinition::chunks_per_segment,
                        [](std::uint64_t s) { return CircomBases{}.base_vartime(s); });
}

std::span<const algebra::Niels<algebra::BabyJubjubMinusOneConfig>> CircomBases::shared_table(
    std::uint64_t segment) const {
    return shared::circom_table(segment);
}

template class CachingPedersen<CircomDefinition, CircomBases>;

}  // namespace pedersen
