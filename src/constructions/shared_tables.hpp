#pragma once
// Tables of the fixed generators, shared by every instance of the process:
// the first segments of the Sapling hash under its default personalization
// and of the circom hash. They are computed by tablegen.cpp (with the same
// code that builds tables at run time), committed as shared_tables.cpp and
// compiled in as constants, so no instance ever builds them.

#include <cstddef>
#include <cstdint>
#include <span>

#include "algebra/curves.hpp"
#include "algebra/niels.hpp"

namespace pedersen::shared {

inline constexpr std::uint64_t SEGMENTS = 6;

// segment < SEGMENTS.
std::span<const algebra::Niels<algebra::JubjubConfig>> sapling_table(std::uint64_t segment);
std::span<const algebra::Niels<algebra::BabyJubjubMinusOneConfig>> circom_table(std::uint64_t segment);

}  // namespace pedersen::shared
