// The build-cache profile document: tools that the build cache may serve,
// with the child processes it excludes.
#pragma once

#include <cstdint>
#include <string>

#include "common/Packets.h"

namespace vt {

class TBuildCacheToolChildExclude : public TPacket {
  VT_PACKET_CLASS(TBuildCacheToolChildExclude, TPacket)
 public:
  std::string ProcName;
};
using TBuildCacheToolChildExcludeList = TPacketList<TBuildCacheToolChildExclude>;

class TBuildCacheTool : public TPacket {
  VT_PACKET_CLASS(TBuildCacheTool, TPacket)
 public:
  std::string Filename;
  ByteBool AllowBuildCache;
  ByteBool IncludeBinaryDependencies;
  TBuildCacheToolChildExcludeList ChildProcesses;
};
using TBuildCacheToolList = TPacketList<TBuildCacheTool>;

class TBuildCacheProfileDocument : public TPacket {
  VT_PACKET_CLASS(TBuildCacheProfileDocument, TPacket)
 public:
  std::int32_t FormatVersion{};
  TBuildCacheToolList Tools;
};

// Registers the three classes, items before their containers.
void RegisterBuildCacheProfilePackets();

extern const UnitEntry kBuildCacheProfilePacketsUnit;

}  // namespace vt
