// Display names of the kinds of agent machine, indexed by the one-byte kind
// that messages carry.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vt {

inline constexpr std::array<const char*, 7> AgentTypeNames = {
    "Owned", "Single-use-VM", "Expired Single-use-VM", "Azure", "AWS", "Google Cloud", "Vontaro SaaS",
};

// The name of Kind; a kind without a row answers "Unknown agent type (<n>)".
std::string AgentTypeName(std::uint8_t kind);

}  // namespace vt
