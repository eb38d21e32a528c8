// Helpers of the monitor and profile catalogue tests: filling every field
// that the typed accessors reach, collecting differing field indices,
// exception texts and a little-endian byte builder.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Packets.h"

namespace vt::cattest {

// Sets every field reachable through the typed accessors and object access
// to a value other than its default; nested packets and new list items are
// filled the same way. Fields of type code 0 and absent optional members
// are left alone. Lists of lists (task groups hold task groups) get items
// down to Depth levels only.
inline void FillGeneric(TPacket& p, int seed, int depth = 3) {
  for (std::int32_t i = 0; i < p.FieldCount(); ++i) {
    switch (p.FieldType(i)) {
      case pftString: p.SetFieldAsString(i, "s" + std::to_string(seed * 100 + i)); break;
      case pftInteger: p.SetFieldAsInteger(i, 100 + seed + i); break;
      case pftBoolean: p.SetFieldAsInteger(i, p.GetFieldAsInteger(i) == 0 ? 1 : 0); break;
      case pftDouble: p.SetFieldAsDouble(i, 45000.25 + seed + i); break;
      case pftObject: {
        TObject* o = nullptr;
        try {
          o = p.GetFieldAsObject(i);
        } catch (const Exception&) {
          break;  // absent optional member
        }
        if (auto* lines = dynamic_cast<TStrings*>(o)) {
          lines->Add("line " + std::to_string(i));
          lines->Add("next");
        } else if (auto* ints = dynamic_cast<TIntegerList*>(o)) {
          ints->Add(seed);
          ints->Add(-seed * 1000);
        } else if (auto* packets = dynamic_cast<TCustomPacketList*>(o)) {
          for (int k = 0; depth > 0 && k < 2; ++k) {
            auto item = packets->ItemClass().Create();
            FillGeneric(*item, seed + k + 1, depth - 1);
            packets->Add(std::move(item));
          }
        } else if (auto* nested = dynamic_cast<TPacket*>(o)) {
          FillGeneric(*nested, seed + 1, depth);
        }
        break;
      }
      default: break;
    }
  }
}

template <typename T>
std::unique_ptr<T> Filled(int seed = 1) {
  auto p = std::make_unique<T>();
  FillGeneric(*p, seed);
  return p;
}

inline std::vector<std::int32_t> Differences(const TPacket& a, const TPacket& b) {
  std::vector<std::int32_t> out;
  a.CompareFields(
      b, [](void* d, std::int32_t i) { static_cast<std::vector<std::int32_t>*>(d)->push_back(i); }, &out);
  return out;
}

inline std::string ExceptionText(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.what();
  }
  return "(no exception)";
}

// Little-endian byte builder for expected payloads.
struct B {
  std::string s;
  B& u8(std::uint8_t v) {
    s += static_cast<char>(v);
    return *this;
  }
  B& i32(std::int32_t v) { return raw(&v, 4); }
  B& i64(std::int64_t v) { return raw(&v, 8); }
  B& zeros(std::size_t n) {
    s.append(n, '\0');
    return *this;
  }
  B& str(const std::string& v) {  // short strings: one-byte compact length
    u8(static_cast<std::uint8_t>(v.size() * 2));
    s += v;
    return *this;
  }
  B& bytes(const std::string& v) {
    s += v;
    return *this;
  }
  B& raw(const void* p, std::size_t n) {
    s.append(static_cast<const char*>(p), n);
    return *this;
  }
};

}  // namespace vt::cattest
