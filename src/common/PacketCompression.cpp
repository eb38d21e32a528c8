#include "common/PacketCompression.h"

#include "common/RealTimeCompressStreams.h"

namespace vt {

void WritePacketContainer(TStream& target, TCustomMemoryStream& source) {
  CompressToStream(source, source.Size(), target, cfQuickLZ131);
}

std::unique_ptr<TStream> OpenPacketContainer(TStream& source) {
  return std::make_unique<TDecompressStream>(&source, 0, 1, false, -1);
}

}  // namespace vt
