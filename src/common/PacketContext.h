// Streaming context: many packets on one channel without headers. The
// first packet of a class carries its definition, later ones a short id.
//
// Class reference on the wire, where a stand-alone packet has its header:
//   known class      compact id 1 .. 32767
//   first use        compact id 0, then 19 bytes: 0, UInt16 field count,
//                    16-byte class GUID
#pragma once

#include <cstdint>
#include <vector>

#include "common/Classes.h"
#include "common/TypedLists.h"

namespace vt {

class TPacketClass;

// One direction of one channel; used by one thread at a time. A writer
// uses the id map, a reader the list of known classes.
class TPacketStreamingContext : public TObject {
 public:
  static constexpr int kDefinitionSize = 19;

  // Reading: definitions read are used but not remembered.
  bool DoNotLearn = false;

  void WriteClassRef(TStream& stream, const TPacketClass& cls);
  // Enters the class and writes its definition; answers its new id.
  std::int32_t WriteClassDefinition(TStream& stream, const TPacketClass& cls);
  void ReadClassRef(TStream& stream, const TPacketClass*& cls, std::int32_t& stored_field_count);
  void ReadClassDefinition(TStream& stream, const TPacketClass*& cls, std::int32_t& stored_field_count);

  // Classes entered for writing; classes known for reading.
  std::int32_t WrittenClassCount() const { return ids_.Count(); }
  std::int32_t KnownClassCount() const { return static_cast<std::int32_t>(known_.size()); }

 private:
  struct Known {
    const TPacketClass* cls;
    std::int32_t stored_field_count;
  };
  static constexpr int kIdBits = 7;
  TIntegerIntegerMap_HashTable ids_{dupError, 0, kIdBits};  // class number -> id
  // The last class written: packets of one class mostly follow each other.
  std::int32_t last_number_ = 0;
  std::int32_t last_id_ = 0;
  std::vector<Known> known_;  // id - 1 -> class
};

}  // namespace vt
