#include "constructions/zcash.hpp"

#include <cassert>

#include "pedersen/wide_tables.hpp"

namespace pedersen {

const algebra::Niels<algebra::JubjubConfig>* SaplingBases::wide_table_vartime(std::uint64_t segment) const {
    assert(is_default());
    using Wide = Layout<ZcashDefinition::Curve, ZcashDefinition::Encoding, ZcashDefinition::wide_chunks_per_lookup>;
    static WideTablesVartime<Wide, wide_segments> tables;
    return tables.table(segment, ZcashDefinition::chunks_per_segment,
                        [](std::uint64_t s) { return SaplingBases(SAPLING_PERSONALIZATION).base_vartime(s); });
}

std::span<const algebra::Niels<algebra::JubjubConfig>> SaplingBases::shared_table(std::uint64_t segment) const {
    return shared::sapling_table(segment);
}

template class CachingPedersen<ZcashDefinition, SaplingBases>;

}  // namespace pedersen
