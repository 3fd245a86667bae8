#include "constructions/configurable.hpp"

namespace pedersen {

template class ConfigurablePedersen<BabyJubjubDefinition>;
template class ConfigurablePedersen<JubjubBoweHopwoodDefinition>;

}  // namespace pedersen
