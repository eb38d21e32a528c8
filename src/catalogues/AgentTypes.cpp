#include "catalogues/AgentTypes.h"

namespace vt {

std::string AgentTypeName(std::uint8_t kind) {
  if (kind < AgentTypeNames.size()) return AgentTypeNames[kind];
  return "Unknown agent type (" + std::to_string(kind) + ")";
}

}  // namespace vt
