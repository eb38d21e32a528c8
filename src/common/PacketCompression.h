// The block-compressed container as seen by the packet I/O: SavePacket's
// compress option and LoadPacket's compressed option go through these two
// routines only.
#pragma once

#include <memory>

#include "common/Classes.h"

namespace vt {

// Writes Source's whole content to Target as a block-compressed container
// of format 3.
void WritePacketContainer(TStream& target, TCustomMemoryStream& source);

// A stream of the unpacked content of Source, which holds one
// block-compressed container from position 0 to its end.
std::unique_ptr<TStream> OpenPacketContainer(TStream& source);

}  // namespace vt
