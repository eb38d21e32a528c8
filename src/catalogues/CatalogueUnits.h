// The start-up units of the packet catalogues, in link order.
#pragma once

#include <span>

#include "common/Units.h"

namespace vt {

// Each catalogue's unit, in the order a program initializes them (after the
// common library's units, the packet registry among them).
std::span<const UnitEntry> CatalogueUnits();

// The same list in two parts: a program that also starts the skin units
// runs them between the message catalogues and the profile documents.
std::span<const UnitEntry> MessageCatalogueUnits();
std::span<const UnitEntry> ProfileDocumentUnits();

}  // namespace vt
