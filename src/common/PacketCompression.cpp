#include "common/PacketCompression.h"

#include "common/SysUtils.h"

namespace vt {

// Connection point for the block-compressed container: until the container
// is wired in here, both directions refuse with a clear message.
void WritePacketContainer(TStream&, TCustomMemoryStream&) {
  throw Exception("Cannot save packet: block compression is not available");
}

std::unique_ptr<TStream> OpenPacketContainer(TStream&) {
  throw Exception("Cannot load packet: block compression is not available");
}

}  // namespace vt
