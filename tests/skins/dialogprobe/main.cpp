// Starts the skin units and prints the dialog captions they filled, one a line.
#include <cstdio>

#include "common/Units.h"
#include "skins/SkinUnits.h"

int main() {
  vt::InitializeUnits(vt::SkinUnits());
  for (const std::string& s : vt::SpDialogButtonCaptions) std::printf("%s\n", s.c_str());
  for (const std::string& s : vt::SpDialogCaptions) std::printf("%s\n", s.c_str());
  vt::FinalizeUnits();
  return 0;
}
