// Stand-alone and streaming-context packet I/O: SavePacket, the header
// reader and the loaders. A load or save reads and writes through one field
// reader or writer (PacketFields.h), which nested packets share.
#include <cstddef>

#include "common/FileStreams.h"
#include "common/Objects.h"
#include "common/PacketCompression.h"
#include "common/PacketContext.h"
#include "common/PacketFields.h"
#include "common/Packets.h"
#include "platform/FaultSupport.h"

namespace vt {

namespace {

constexpr const char* kUnit = "Packets";

// Packets being loaded inside each other on this thread.
thread_local int t_load_depth = 0;
// SavePacket calls in progress on this thread (nested ones skip the check).
thread_local int t_save_depth = 0;

struct DepthGuard {
  int& depth;
  explicit DepthGuard(int& d) : depth(d) { ++depth; }
  ~DepthGuard() { --depth; }
};

// The stack is checked every few levels.
void CheckNesting() {
  if (t_load_depth > kMaxPacketNesting) [[unlikely]]
    RaiseNestingTooDeep("load");
  if ((t_load_depth & 7) == 0 && os::StackSpaceLeft() < kNestingStackReserve) [[unlikely]]
    RaiseStackTooSmall("load", t_load_depth);
}

// Nested saves that the check before the save cannot see (custom fields).
void CheckSaveNesting() {
  if (t_save_depth > kMaxPacketNesting) [[unlikely]]
    RaiseNestingTooDeep("save");
  if ((t_save_depth & 7) == 0 && os::StackSpaceLeft() < kNestingStackReserve) [[unlikely]]
    RaiseStackTooSmall("save", t_save_depth);
}

void ReadHeader(TFieldReader& reader, TPacketStreamingContext* context, const TPacketClass* expected,
                TPacketLoadInfo& info) {
  if (context != nullptr) {
    const TPacketClass* cls = nullptr;
    std::int32_t stored = 0;
    context->ReadClassRef(reader, cls, stored);
    if (expected != nullptr && cls != expected) RaiseIncompatiblePacketClass(cls->GetClassGUID(), expected);
    info.Class = cls;
    info.StoredFieldCount = stored;
    info.PayloadSize = -1;
    info.PayloadEnd = -1;
    return;
  }
  const std::int64_t start = reader.Offset();
  TPacketHeader h;
  reader.Get(&h, sizeof h);
  if (h.Version != kPacketFormatVersion)
    throw Exception(Format("Cannot load packet. Unknown format version: %d", h.Version));
  if (h.TotalSize < kPacketHeaderSize)
    throw Exception(Format("Cannot load packet. Invalid packet size: %u", h.TotalSize));
  // A packet that ends past its data is cut short; outside any packet, so
  // is one that ends past the source's end, where the source tells it.
  const std::int64_t payload = static_cast<std::int64_t>(h.TotalSize) - kPacketHeaderSize;
  reader.CheckFits(static_cast<std::uint64_t>(payload));
  if (reader.Limit() < 0) {
    const std::int64_t left = reader.SourceEnd() - reader.Offset();
    if (left >= 0 && payload > left) throw EReadError();
  }
  // The end is trusted from here on: a class that cannot be read leaves the
  // source behind the packet (the caller abandons the read at PayloadEnd).
  info.StoredFieldCount = h.FieldCount > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<std::int32_t>(h.FieldCount);
  info.PayloadSize = payload;
  info.PayloadEnd = start + kPacketHeaderSize + payload;
  if (expected != nullptr) {
    if (!GuidsEqual(expected->GetClassGUID(), h.ClassGUID))
      RaiseIncompatiblePacketClass(h.ClassGUID, expected);
    info.Class = expected;
  } else {
    const auto* last = static_cast<const TPacketClass*>(reader.LastClass);
    info.Class = last != nullptr && GuidsEqual(last->GetClassGUID(), h.ClassGUID)
                     ? last
                     : FindPacketClass(h.ClassGUID);
    if (info.Class == nullptr)
      throw Exception(Format("Unregistered packet class: %s", GuidToText(h.ClassGUID)));
    reader.LastClass = info.Class;
  }
}

bool AppendsOnly(TStream& stream) {
  const auto* handle = dynamic_cast<const THandleStream*>(&stream);
  return handle != nullptr && handle->AppendsOnly();
}

// The packet in memory, then as a compressed container.
[[gnu::noinline]] void SaveCompressed(const TPacket& packet, TStream& stream, TPacketStreamingContext* context,
                                      std::uint8_t flags) {
  TVirtualStream memory(2);
  SavePacket(packet, memory, context, static_cast<std::uint8_t>(flags & ~(pioCompress | pioBuffered)));
  memory.SetPosition(0);
  if (!AppendsOnly(stream)) {
    WritePacketContainer(stream, memory);
    return;
  }
  // The container's block sizes are patched in place: built in memory for
  // a target whose writes all land at its end.
  TVirtualStream packed(2);
  WritePacketContainer(packed, memory);
  stream.WriteBuffer(packed.Memory(), packed.Size());
}

// The payload, read ahead up to its end when that is known; a stand-alone
// packet ends at its stored size, whatever its reader's class knows.
[[gnu::always_inline]] inline void ReadFields(TPacket& packet, TFieldReader& reader, TPacketStreamingContext* context,
                const TPacketLoadInfo& info) {
  const std::int64_t outer = reader.Limit();
  if (info.PayloadEnd >= 0) reader.SetLimit(info.PayloadEnd);
  std::int32_t remaining = info.StoredFieldCount;
  packet.LoadFields(reader, remaining, context);
  if (info.PayloadEnd >= 0) {
    reader.SkipTo(info.PayloadEnd);
    reader.SetLimit(outer);
  }
}

}  // namespace

[[noreturn]] void RaiseIncompatiblePacketClass(const TGUID& found, const TPacketClass* expected) {
  VT_ASSERT_AT(expected != nullptr, kUnit, 465);
  throw Exception(Format("Incompatible packet class: %s (%s, %s expected)", GuidToText(found),
                         GuidToText(expected->GetClassGUID()), expected->Name()));
}

void ReadPacketHeader(TStream& stream, TPacketStreamingContext* context, const TPacketClass* expected,
                      TPacketLoadInfo& info) {
  TReaderScope reader(stream, -1);
  info.PayloadEnd = -1;
  try {
    ReadHeader(*reader, context, expected, info);
  } catch (...) {
    if (context == nullptr) reader.Abandon(kPacketHeaderSize, info.PayloadEnd);
    throw;
  }
  if (info.PayloadEnd >= 0) info.PayloadEnd = reader.StreamPosition(info.PayloadEnd);
  reader.Done();
}

// The payload starts at the stream's position and, in the stand-alone form,
// is read to its stated end, whatever the packet's class knows.
void ReadPacketFields(TPacket& packet, TStream& stream, TPacketStreamingContext* context,
                      const TPacketLoadInfo& info) {
  TReaderScope reader(stream, -1);
  TPacketLoadInfo at = info;
  at.PayloadEnd = info.PayloadSize >= 0 ? reader->Offset() + info.PayloadSize : -1;
  try {
    ReadFields(packet, *reader, context, at);
  } catch (...) {
    if (at.PayloadEnd >= 0) reader.Abandon(0, at.PayloadEnd);
    throw;
  }
  reader.Done();
}

void SavePacket(const TPacket& packet, TStream& stream, TPacketStreamingContext* context,
                std::uint8_t flags) {
  if (flags & pioCompress) return SaveCompressed(packet, stream, context, flags);
  if (flags & pioBuffered) {
    TVirtualStream memory(2);
    SavePacket(packet, memory, context, static_cast<std::uint8_t>(flags & ~pioBuffered));
    stream.WriteBuffer(memory.Memory(), memory.Size());
    return;
  }
  if (t_save_depth == 0) CheckBeforeSave(packet);
  DepthGuard guard(t_save_depth);
  CheckSaveNesting();
  TWriterScope writer(stream);
  if (context != nullptr) {
    context->WriteClassRef(*writer, packet.ClassType());
    packet.SaveFields(*writer, context);
    writer.Done();
    return;
  }
  const std::int64_t start = writer->OpenSize();
  const TPacketHeader h{kPacketFormatVersion, 0, static_cast<std::uint32_t>(packet.FieldCount()), 0,
                        packet.GetClassGUID()};
  writer->Put(&h, sizeof h);
  packet.SaveFields(*writer, nullptr);
  const std::int64_t size = writer->Offset() - start;
  if (size > 0xFFFFFFFFll) throw EWriteError("Packet too large for the stand-alone form");
  writer->CloseSize(start + offsetof(TPacketHeader, TotalSize), static_cast<std::uint32_t>(size));
  writer.Done();
}

void LoadPacketInto(TPacket& packet, TStream& stream, TPacketStreamingContext* context, std::uint8_t flags) {
  if (flags & pioCompressed) {
    std::unique_ptr<TStream> data = OpenPacketContainer(stream);
    LoadPacketInto(packet, *data, context, static_cast<std::uint8_t>(flags & ~pioCompressed));
    return;
  }
  DepthGuard guard(t_load_depth);
  CheckNesting();
  TReaderScope reader(stream, -1);
  TPacketLoadInfo info;
  try {
    ReadHeader(*reader, context, &packet.ClassType(), info);
    ReadFields(packet, *reader, context, info);
  } catch (...) {
    if (context == nullptr) reader.Abandon(kPacketHeaderSize, info.PayloadEnd);
    throw;
  }
  reader.Done();
}

std::unique_ptr<TPacket> LoadPacket(TStream& stream, TPacketStreamingContext* context, std::uint8_t flags) {
  if (flags & pioCompressed) {
    std::unique_ptr<TStream> data = OpenPacketContainer(stream);
    return LoadPacket(*data, context, static_cast<std::uint8_t>(flags & ~pioCompressed));
  }
  return LoadPacketOver(nullptr, stream, context);
}

std::unique_ptr<TPacket> LoadPacketOver(std::unique_ptr<TPacket> spare, TStream& stream,
                                        TPacketStreamingContext* context) {
  DepthGuard guard(t_load_depth);
  CheckNesting();
  TReaderScope reader(stream, -1);
  TPacketLoadInfo info;
  std::unique_ptr<TPacket> packet;
  try {
    ReadHeader(*reader, context, nullptr, info);
    if (spare != nullptr && &spare->ClassType() == info.Class &&
        info.StoredFieldCount >= info.Class->FieldCount() && LoadReplacesEveryField(*info.Class)) {
      packet = std::move(spare);
    } else {
      packet = info.Class->Create();
    }
    ReadFields(*packet, *reader, context, info);
  } catch (...) {
    if (context == nullptr) reader.Abandon(kPacketHeaderSize, info.PayloadEnd);
    throw;
  }
  reader.Done();
  return packet;
}

void LoadPacketFromFile(TPacket& packet, const std::string& file_name, std::uint8_t flags) {
  try {
    TMappedFileStream file(file_name, fmOpenRead | fmShareDenyWrite, (flags & pioRetryOpen) ? 4 : 0, 0);
    LoadPacketInto(packet, file, nullptr, flags);
  } catch (...) {
    ReraiseWithContext("Failed to load packet %s from file %s", {packet.ClassName(), file_name});
  }
}

}  // namespace vt
