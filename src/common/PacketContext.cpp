#include "common/PacketContext.h"

#include <cstring>

#include "common/Objects.h"
#include "common/Packets.h"
#include "common/StreamUtils.h"

namespace vt {

namespace {
// The definition: byte 0, UInt16 field count, 16-byte GUID.
static_assert(1 + 2 + sizeof(TGUID) == TPacketStreamingContext::kDefinitionSize);
}  // namespace

void TPacketStreamingContext::WriteClassRef(TStream& stream, const TPacketClass& cls) {
  const std::int32_t number = GetPacketClassNumber(cls);
  if (number != last_number_) {
    const TIntegerIntegerRec* entry = ids_.Find(number);
    if (entry == nullptr) {
      WriteClassDefinition(stream, cls);
      return;
    }
    last_number_ = number;
    last_id_ = entry->Value;
  }
  WriteCompactId(stream, last_id_);
}

std::int32_t TPacketStreamingContext::WriteClassDefinition(TStream& stream, const TPacketClass& cls) {
  const std::int32_t number = GetPacketClassNumber(cls);
  const std::int32_t id = ids_.Count() + 1;
  VT_ASSERT_AT(id <= 65535, "Packets", 1927);
  ids_.Add(number, id);
  WriteCompactId(stream, 0);
  std::uint8_t d[kDefinitionSize] = {0};
  const std::uint16_t count = static_cast<std::uint16_t>(cls.FieldCount());
  std::memcpy(d + 1, &count, 2);
  std::memcpy(d + 3, &cls.GetClassGUID(), sizeof(TGUID));
  stream.WriteBuffer(d, kDefinitionSize);
  return id;
}

void TPacketStreamingContext::ReadClassRef(TStream& stream, const TPacketClass*& cls,
                                           std::int32_t& stored_field_count) {
  const std::int32_t id = ReadCompactId(stream);
  if (id == 0) return ReadClassDefinition(stream, cls, stored_field_count);
  if (id - 1 >= KnownClassCount()) throw Exception(Format("Invalid streaming context ID: %d", id));
  const Known& k = known_[static_cast<std::size_t>(id - 1)];
  cls = k.cls;
  stored_field_count = k.stored_field_count;
}

void TPacketStreamingContext::ReadClassDefinition(TStream& stream, const TPacketClass*& cls,
                                                  std::int32_t& stored_field_count) {
  std::uint8_t d[kDefinitionSize];
  stream.ReadBuffer(d, kDefinitionSize);
  std::uint16_t count;
  TGUID guid;
  std::memcpy(&count, d + 1, 2);
  std::memcpy(&guid, d + 3, sizeof guid);
  const TPacketClass* found = FindPacketClass(guid);
  if (found == nullptr) throw Exception(Format("Unregistered packet class in context: %s", GuidToText(guid)));
  if (found->FieldCount() < count)
    throw Exception(Format("Unsupported version of packet class: %s (version %d)", found->Name(), count));
  if (!DoNotLearn && known_.size() < 65535) known_.push_back({found, count});
  cls = found;
  stored_field_count = count;
}

}  // namespace vt
