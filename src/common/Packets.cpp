// TPacket's operations, written once over the field tables; the class
// registry; packet lists; optional members; dumps.
#include "common/Packets.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "common/FileStreams.h"
#include "common/Objects.h"
#include "common/PacketCompression.h"
#include "common/PacketContext.h"
#include "common/PacketFields.h"

namespace vt {

namespace {

constexpr const char* kUnit = "Packets";

// ---- Field helpers ------------------------------------------------------------

bool IsIntegerKind(TFieldKind k) { return k <= TFieldKind::UInt64; }
bool IsUnsignedKind(TFieldKind k) {
  return k == TFieldKind::UInt8 || k == TFieldKind::UInt16 || k == TFieldKind::UInt32 || k == TFieldKind::UInt64;
}

std::int64_t LoadInt(TFieldKind k, const void* m) {
  switch (k) {
    case TFieldKind::Int8: return *static_cast<const std::int8_t*>(m);
    case TFieldKind::UInt8: return *static_cast<const std::uint8_t*>(m);
    case TFieldKind::Int16: return *static_cast<const std::int16_t*>(m);
    case TFieldKind::UInt16: return *static_cast<const std::uint16_t*>(m);
    case TFieldKind::Int32: return *static_cast<const std::int32_t*>(m);
    case TFieldKind::UInt32: return *static_cast<const std::uint32_t*>(m);
    case TFieldKind::Int64: return *static_cast<const std::int64_t*>(m);
    case TFieldKind::UInt64: return static_cast<std::int64_t>(*static_cast<const std::uint64_t*>(m));
    default: return 0;
  }
}

// Keeps the low bytes that fit the field.
void StoreInt(TFieldKind k, void* m, std::int64_t v) {
  switch (k) {
    case TFieldKind::Int8:
    case TFieldKind::UInt8: *static_cast<std::uint8_t*>(m) = static_cast<std::uint8_t>(v); break;
    case TFieldKind::Int16:
    case TFieldKind::UInt16: *static_cast<std::uint16_t*>(m) = static_cast<std::uint16_t>(v); break;
    case TFieldKind::Int32:
    case TFieldKind::UInt32: *static_cast<std::uint32_t*>(m) = static_cast<std::uint32_t>(v); break;
    case TFieldKind::Int64:
    case TFieldKind::UInt64: *static_cast<std::uint64_t*>(m) = static_cast<std::uint64_t>(v); break;
    default: break;
  }
}

std::string IntText(TFieldKind k, const void* m) {
  if (k == TFieldKind::UInt64) return std::to_string(*static_cast<const std::uint64_t*>(m));
  return std::to_string(LoadInt(k, m));
}

double IntAsDouble(TFieldKind k, const void* m) {
  if (k == TFieldKind::UInt64) return static_cast<double>(*static_cast<const std::uint64_t*>(m));
  return static_cast<double>(LoadInt(k, m));
}

template <typename T>
T& As(void* m) {
  return *static_cast<T*>(m);
}
template <typename T>
const T& As(const void* m) {
  return *static_cast<const T*>(m);
}

void* MemberOf(const TPacketField& f, const TPacket& p) { return f.Member(const_cast<TPacket&>(p)); }

bool IsBaseClass(const TPacketClass& cls) { return &cls == &TPacket::Class || &cls == &TCommPacket::Class; }

// Fn(field, index) for every field of Cls and its ancestors, in index order.
template <typename Fn>
void ForEachField(const TPacketClass& cls, Fn&& fn) {
  const TPacketClass* chain[16];
  int depth = 0;
  for (const TPacketClass* c = &cls; c != nullptr && depth < 16; c = c->Parent()) chain[depth++] = c;
  std::int32_t index = 0;
  for (int i = depth - 1; i >= 0; --i)
    for (const TPacketField& f : chain[i]->OwnFields()) fn(f, index++);
}

// Same as ForEachField, stopping when Fn answers false.
template <typename Fn>
bool AllFields(const TPacketClass& cls, Fn&& fn) {
  bool ok = true;
  const TPacketClass* chain[16];
  int depth = 0;
  for (const TPacketClass* c = &cls; c != nullptr && depth < 16; c = c->Parent()) chain[depth++] = c;
  std::int32_t index = 0;
  for (int i = depth - 1; i >= 0 && ok; --i)
    for (const TPacketField& f : chain[i]->OwnFields()) {
      if (!fn(f, index++)) {
        ok = false;
        break;
      }
    }
  return ok;
}

void SetDefault(const TPacketField& f, void* m) {
  if (f.Ops != nullptr && f.Ops->Clear != nullptr) return f.Ops->Clear(m);
  if (IsIntegerKind(f.Kind)) return StoreInt(f.Kind, m, f.IntDefault);
  switch (f.Kind) {
    case TFieldKind::Boolean: As<ByteBool>(m).Value = static_cast<std::uint8_t>(f.IntDefault); break;
    case TFieldKind::Double: As<double>(m) = f.FloatDefault; break;
    case TFieldKind::Guid:
    case TFieldKind::Bytes: std::memset(m, 0, f.Width); break;
    case TFieldKind::AnsiString: As<std::string>(m) = f.TextDefault ? f.TextDefault : ""; break;
    case TFieldKind::WideString:
      As<std::u16string>(m) = f.TextDefault ? AnsiToWide(f.TextDefault) : std::u16string();
      break;
    case TFieldKind::StringList: As<TStrings>(m).Clear(); break;
    case TFieldKind::Stream: As<TMemoryStream>(m).Clear(); break;
    case TFieldKind::Chunked: As<TChunkedDataContainer>(m).Clear(); break;
    case TFieldKind::IntegerList:
    case TFieldKind::TypedList: As<TCustomList>(m).Clear(); break;
    case TFieldKind::Packet: As<TPacket>(m).Clear(); break;
    case TFieldKind::OptionalPacket:
      if (TPacket* p = As<TOptionalPacketBase>(m).Pointer()) p->Clear();
      break;
    case TFieldKind::PacketList: As<TCustomPacketList>(m).Clear(); break;
    case TFieldKind::AnyPacket: As<TAnyPacket>(m).Get().Clear(); break;
    default: break;
  }
}

void AssignField(const TPacketField& f, void* m, const void* s) {
  if (f.Ops != nullptr && f.Ops->Assign != nullptr) return f.Ops->Assign(m, s);
  if (f.Width != 0 && f.Kind != TFieldKind::Custom) {
    std::memcpy(m, s, f.Width);
    return;
  }
  switch (f.Kind) {
    case TFieldKind::AnsiString: As<std::string>(m) = As<std::string>(s); break;
    case TFieldKind::WideString: As<std::u16string>(m) = As<std::u16string>(s); break;
    case TFieldKind::StringList: {
      auto& list = As<TStrings>(m);
      list.BeginUpdate();
      list.Clear();
      list.AddStrings(As<TStrings>(s));
      list.EndUpdate();
      break;
    }
    case TFieldKind::Stream:
      AssignStream(As<TMemoryStream>(m), const_cast<TMemoryStream&>(As<TMemoryStream>(s)));
      break;
    case TFieldKind::Chunked: As<TChunkedDataContainer>(m).Assign(As<TChunkedDataContainer>(s)); break;
    case TFieldKind::IntegerList:
    case TFieldKind::TypedList: As<TCustomList>(m).Assign(const_cast<TCustomList&>(As<TCustomList>(s))); break;
    case TFieldKind::Packet: As<TPacket>(m).AssignFrom(As<TPacket>(s)); break;
    case TFieldKind::OptionalPacket: As<TOptionalPacketBase>(m).Set(As<TOptionalPacketBase>(s).Pointer()); break;
    case TFieldKind::PacketList: As<TCustomPacketList>(m).Assign(As<TCustomPacketList>(s)); break;
    case TFieldKind::AnyPacket: As<TAnyPacket>(m).Get().AssignFrom(As<TAnyPacket>(s).Get()); break;
    default: break;
  }
}

bool FieldEquals(const TPacketField& f, const void* a, const void* b) {
  if (f.Ops != nullptr && f.Ops->Equals != nullptr) return f.Ops->Equals(a, b);
  if (f.Width != 0 && f.Kind != TFieldKind::Custom) return std::memcmp(a, b, f.Width) == 0;
  switch (f.Kind) {
    case TFieldKind::AnsiString: return As<std::string>(a) == As<std::string>(b);
    case TFieldKind::WideString: return As<std::u16string>(a) == As<std::u16string>(b);
    case TFieldKind::StringList: return StringListsEqual(As<TStrings>(a), As<TStrings>(b));
    case TFieldKind::Stream:
      return StreamsEqual(const_cast<TMemoryStream&>(As<TMemoryStream>(a)),
                          const_cast<TMemoryStream&>(As<TMemoryStream>(b)));
    case TFieldKind::Chunked: return As<TChunkedDataContainer>(a).Equals(As<TChunkedDataContainer>(b));
    case TFieldKind::IntegerList:
    case TFieldKind::TypedList:
      return const_cast<TCustomList&>(As<TCustomList>(a)).Equals(const_cast<TCustomList&>(As<TCustomList>(b)));
    case TFieldKind::Packet: return As<TPacket>(a).Equals(As<TPacket>(b));
    case TFieldKind::OptionalPacket: return As<TOptionalPacketBase>(a).Same(As<TOptionalPacketBase>(b).Pointer());
    case TFieldKind::PacketList: return As<TCustomPacketList>(a).Equals(As<TCustomPacketList>(b));
    case TFieldKind::AnyPacket: return As<TAnyPacket>(a).Get().Equals(As<TAnyPacket>(b).Get());
    default: return true;
  }
}

std::int64_t CompactValue(const TPacketField& f, const void* m) {
  return IsUnsignedKind(f.Kind) ? static_cast<std::int64_t>(static_cast<std::uint64_t>(LoadInt(f.Kind, m)))
                                : LoadInt(f.Kind, m);
}

void SaveField(const TPacketField& f, const void* m, TStream& stream, TPacketStreamingContext* context) {
  switch (f.Wire) {
    case TWireForm::Raw: stream.WriteBuffer(m, f.Width); break;
    case TWireForm::Sized:
      WriteByteValue(stream, static_cast<std::uint8_t>(f.Width));
      stream.WriteBuffer(m, f.Width);
      break;
    case TWireForm::Compact: WriteCompactLength(stream, CompactValue(f, m)); break;
    case TWireForm::String: WriteStringField(stream, As<std::string>(m)); break;
    case TWireForm::Wide: WriteWideStringField(stream, As<std::u16string>(m)); break;
    case TWireForm::StringList: WriteStringListField(stream, As<TStrings>(m)); break;
    case TWireForm::Stream:
      WriteStreamField(stream, const_cast<TMemoryStream&>(As<TMemoryStream>(m)), context != nullptr);
      break;
    case TWireForm::Chunked: {
      auto& chunks = const_cast<TChunkedDataContainer&>(As<TChunkedDataContainer>(m));
      const std::int64_t n = chunks.Size();
      if (context != nullptr) {
        WriteCompactLength(stream, n);
      } else {
        if (n > 0xFFFFFFFFll) throw EWriteError("Stream field too large for its length form");
        const std::uint32_t n32 = static_cast<std::uint32_t>(n);
        stream.WriteBuffer(&n32, 4);
      }
      const std::int64_t pos = chunks.Position();
      chunks.SaveToStream(stream);
      chunks.SetPosition(pos);
      break;
    }
    case TWireForm::TypedList: const_cast<TCustomList&>(As<TCustomList>(m)).SaveToStream(stream); break;
    case TWireForm::Packet:
      if (f.Kind == TFieldKind::AnyPacket) {
        SavePacket(As<TAnyPacket>(m).Get(), stream, context, 0);
      } else {
        SavePacket(As<TPacket>(m), stream, context, 0);
      }
      break;
    case TWireForm::OptionalPacket: {
      const TPacket* p = As<TOptionalPacketBase>(m).Pointer();
      WriteByteValue(stream, p != nullptr ? 1 : 0);
      if (p != nullptr) SavePacket(*p, stream, context, 0);
      break;
    }
    case TWireForm::PacketList: As<TCustomPacketList>(m).SaveToStream(stream, context); break;
    case TWireForm::Custom: f.Ops->Save(m, stream, context); break;
  }
}

// Object fields and custom fields: the stream reader in both modes.
void LoadObjectField(const TPacketField& f, void* m, TStream& stream, TPacketStreamingContext* context) {
  switch (f.Wire) {
    case TWireForm::Packet:
      if (f.Kind == TFieldKind::AnyPacket) {
        As<TAnyPacket>(m).Reset(LoadPacket(stream, context, 0));
      } else {
        LoadPacketInto(As<TPacket>(m), stream, context, 0);
      }
      break;
    case TWireForm::OptionalPacket: {
      auto& member = As<TOptionalPacketBase>(m);
      if (ReadByteValue(stream) != 0) {
        LoadPacketInto(member.Need(), stream, context, 0);
      } else {
        member.Free();
      }
      break;
    }
    case TWireForm::PacketList: As<TCustomPacketList>(m).LoadFromStream(stream, context); break;
    case TWireForm::Chunked: {
      std::uint32_t n;
      if (context != nullptr) {
        n = ReadCompactLength(stream);
      } else {
        stream.ReadBuffer(&n, 4);
      }
      if (n > static_cast<std::uint64_t>(StreamBytesLeft(stream))) throw EReadError();
      As<TChunkedDataContainer>(m).LoadFromStream(stream, n);
      break;
    }
    case TWireForm::TypedList: As<TCustomList>(m).LoadFromStream(stream); break;
    case TWireForm::Custom: f.Ops->Load(m, stream, context); break;
    default: break;
  }
}

void LoadFieldFromStream(const TPacketField& f, void* m, TStream& stream, TPacketStreamingContext* context) {
  switch (f.Wire) {
    case TWireForm::Raw: stream.ReadBuffer(m, f.Width); break;
    case TWireForm::Sized: ReadFixedField(stream, m, f.Width); break;
    case TWireForm::Compact: StoreInt(f.Kind, m, ReadCompactLength(stream)); break;
    case TWireForm::String: ReadStringField(stream, As<std::string>(m)); break;
    case TWireForm::Wide: ReadWideStringField(stream, As<std::u16string>(m)); break;
    case TWireForm::StringList: ReadStringListField(stream, As<TStrings>(m)); break;
    case TWireForm::Stream: ReadStreamField(stream, As<TMemoryStream>(m), context != nullptr); break;
    default: LoadObjectField(f, m, stream, context); break;
  }
}

// Negative (or too large) values of compact fields, anywhere in the packet
// and its nested packets, fail before anything is written.
void CheckCompactFields(const TPacket& packet) {
  const TPacketClass& cls = packet.ClassType();
  ForEachField(cls, [&](const TPacketField& f, std::int32_t index) {
    const void* m = MemberOf(f, packet);
    switch (f.Kind) {
      case TFieldKind::Packet: CheckCompactFields(As<TPacket>(m)); return;
      case TFieldKind::AnyPacket:
        if (const TPacket* p = As<TAnyPacket>(m).Pointer()) {
          CheckCompactFields(*p);
          return;
        }
        throw Exception("Attempt to access uninitialized member object: " + QualifiedFieldName(cls, index));
      case TFieldKind::OptionalPacket:
        if (const TPacket* p = As<TOptionalPacketBase>(m).Pointer()) CheckCompactFields(*p);
        return;
      case TFieldKind::PacketList: {
        const auto& list = As<TCustomPacketList>(m);
        for (std::int32_t i = 0; i < list.Count(); ++i) CheckCompactFields(*list.GetItem(i));
        return;
      }
      default: break;
    }
    if (f.Wire != TWireForm::Compact) return;
    const std::int64_t v = CompactValue(f, m);
    if (v < 0 || v > 0x7FFFFFFF)
      throw Exception(Format("Cannot save packet: %s holds %s, outside the compact range 0..2147483647",
                             QualifiedFieldName(cls, index), std::to_string(v)));
  });
}

// ---- Registry -----------------------------------------------------------------

struct GuidHash {
  std::size_t operator()(const TGUID& g) const { return g.D1; }
};
struct GuidEq {
  bool operator()(const TGUID& a, const TGUID& b) const { return GuidsEqual(a, b); }
};
using Registry = std::unordered_map<TGUID, const TPacketClass*, GuidHash, GuidEq>;

Registry* g_registry = nullptr;
std::atomic<std::int32_t> g_class_counter{1};

Registry& EnsurePacketClassRegistry() {
  if (g_registry == nullptr) {
    g_registry = new Registry();
    g_registry->reserve(512);
  }
  return *g_registry;
}

void FreePacketClassRegistry() {
  delete g_registry;
  g_registry = nullptr;
}

// Packets being loaded inside each other on this thread.
thread_local int t_load_depth = 0;
// SavePacket calls in progress on this thread (nested ones skip the check).
thread_local int t_save_depth = 0;

struct DepthGuard {
  int& depth;
  explicit DepthGuard(int& d) : depth(d) { ++depth; }
  ~DepthGuard() { --depth; }
};

// A custom field needs its wire operations, and all of them when its
// member has no standard kind.
void CheckCustomOps(const TPacketField& f) {
  const TCustomFieldOps* ops = f.Ops;
  const bool wire = ops != nullptr && ops->Save != nullptr && ops->Load != nullptr;
  const bool rest = ops != nullptr && ops->Clear != nullptr && ops->Assign != nullptr && ops->Equals != nullptr &&
                    ops->ToText != nullptr;
  if (!wire || (f.Kind == TFieldKind::Custom && !rest))
    throw Exception(std::string("Custom packet field without its operations: ") + f.Name);
}

void SplitLines(const std::string& text, TDumpSink sink, void* data) {
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t j = i;
    while (j < text.size() && text[j] != '\r' && text[j] != '\n') ++j;
    sink(data, text.substr(i, j - i));
    if (j < text.size() && text[j] == '\r') ++j;
    if (j < text.size() && text[j] == '\n') ++j;
    i = j;
  }
}

}  // namespace

// ---- TPacketClass ---------------------------------------------------------------

bool TPacketClass::InheritsFrom(const TPacketClass& other) const {
  for (const TPacketClass* c = this; c != nullptr; c = c->parent_)
    if (c == &other) return true;
  return false;
}

const TGUID& TPacketClass::GetClassGUID() const {
  return shares_parent_identity_ && parent_ ? parent_->GetClassGUID() : guid_;
}

std::atomic<std::int32_t>* TPacketClass::ClassNumberPtr() const {
  return shares_parent_identity_ && parent_ ? parent_->ClassNumberPtr() : &class_number_;
}

std::int32_t TPacketClass::InstanceCount() const {
  return shares_parent_identity_ && parent_ ? parent_->InstanceCount() : instances_.load(std::memory_order_relaxed);
}

std::int32_t TPacketClass::FieldCount() const {
  return (parent_ ? parent_->FieldCount() : 0) + static_cast<std::int32_t>(fields_.size());
}

const TPacketField* TPacketClass::FieldAt(std::int32_t index) const {
  const std::int32_t inherited = parent_ ? parent_->FieldCount() : 0;
  if (index < inherited) return parent_ ? parent_->FieldAt(index) : nullptr;
  const std::int32_t own = index - inherited;
  return own < static_cast<std::int32_t>(fields_.size()) ? &fields_[static_cast<std::size_t>(own)] : nullptr;
}

std::int32_t TPacketClass::FieldIndexByName(std::string_view name) const {
  const std::int32_t inherited = parent_ ? parent_->FieldIndexByName(name) : -1;
  if (inherited >= 0) return inherited;
  const std::int32_t base = parent_ ? parent_->FieldCount() : 0;
  for (std::size_t i = 0; i < fields_.size(); ++i)
    if (name == fields_[i].Name) return base + static_cast<std::int32_t>(i);
  return -1;
}

TPacketFieldType TPacketClass::FieldType(std::int32_t index) const {
  const TPacketField* f = FieldAt(index);
  return f ? static_cast<TPacketFieldType>(f->TypeCode) : pftOther;
}

std::string TPacketClass::FieldName(std::int32_t index) const {
  const TPacketField* f = FieldAt(index);
  return f ? f->Name : "";
}

std::string TPacketClass::FieldItemName(std::int32_t index) const {
  const TPacketField* f = FieldAt(index);
  return f ? f->ItemName : "";
}

std::string TPacketClass::FieldCaption(std::int32_t index) const {
  const TPacketField* f = FieldAt(index);
  return f && f->Caption[0] != '\0' ? std::string(f->Caption) : FieldName(index);
}

std::string TPacketClass::FieldItemCaption(std::int32_t index) const {
  const TPacketField* f = FieldAt(index);
  return f && f->ItemCaption[0] != '\0' ? std::string(f->ItemCaption) : FieldItemName(index);
}

// ---- Base classes -----------------------------------------------------------------

constinit const TPacketClass TPacket::Class{
    "TPacket", nullptr, GuidLiteral("{47BF5205-8993-41F5-98E9-03CB6EA34D1E}"), std::span<const TPacketField>(),
    []() -> std::unique_ptr<TPacket> { return std::make_unique<TPacket>(); }};

constinit const TPacketClass TCommPacket::Class{
    "TCommPacket", &TPacket::Class, GuidLiteral("{47BF5205-8993-41F5-98E9-03CB6EA34D1E}"),
    std::span<const TPacketField>(), []() -> std::unique_ptr<TPacket> { return std::make_unique<TCommPacket>(); },
    true};

std::string QualifiedFieldName(const TPacketClass& cls, std::int32_t index) {
  return std::string(cls.Name()) + "." + cls.FieldName(index);
}

void TPacket::RaiseFieldError(const char* message, std::int32_t index) const {
  throw Exception(Format(message, QualifiedFieldName(ClassType(), index)));
}

void TPacket::InitializeFields(const TPacketClass& cls) {
  for (const TPacketField& f : cls.OwnFields()) {
    void* m = f.Member(*this);
    if (f.Wire == TWireForm::Custom) CheckCustomOps(f);
    switch (f.Kind) {
      case TFieldKind::AnsiString:
      case TFieldKind::WideString:
        if (f.TextDefault) SetDefault(f, m);
        break;
      case TFieldKind::StringList:
      case TFieldKind::Stream:
      case TFieldKind::Chunked:
      case TFieldKind::IntegerList:
      case TFieldKind::TypedList:
      case TFieldKind::Packet:
      case TFieldKind::OptionalPacket:
      case TFieldKind::PacketList:
      case TFieldKind::AnyPacket:
      case TFieldKind::Custom: break;  // constructed empty
      default: SetDefault(f, m); break;
    }
  }
  cls.InstanceCreated();
}

// ---- Typed access ------------------------------------------------------------------

TObject* TPacket::GetFieldAsObject(std::int32_t index) {
  const TPacketField* f = ClassType().FieldAt(index);
  if (f != nullptr) {
    void* m = f->Member(*this);
    switch (f->Kind) {
      case TFieldKind::StringList: return &As<TStrings>(m);
      case TFieldKind::Stream: return &As<TMemoryStream>(m);
      case TFieldKind::Chunked: return &As<TChunkedDataContainer>(m);
      case TFieldKind::IntegerList:
      case TFieldKind::TypedList: return &As<TCustomList>(m);
      case TFieldKind::Packet: return &As<TPacket>(m);
      case TFieldKind::PacketList: return &As<TCustomPacketList>(m);
      case TFieldKind::AnyPacket: return &As<TAnyPacket>(m).Get();
      case TFieldKind::OptionalPacket: return &As<TOptionalPacketBase>(m).Get(ClassName(), f->Name);
      default: break;
    }
  }
  RaiseFieldError("Cannot get field as object: %s", index);
}

std::int32_t TPacket::GetFieldAsInteger(std::int32_t index) const {
  const TPacketField* f = ClassType().FieldAt(index);
  if (f != nullptr) {
    const void* m = MemberOf(*f, *this);
    if (IsIntegerKind(f->Kind)) return static_cast<std::int32_t>(static_cast<std::uint32_t>(LoadInt(f->Kind, m)));
    if (f->Kind == TFieldKind::Boolean) return As<ByteBool>(m) ? 1 : 0;
  }
  RaiseFieldError("Cannot get field as integer: %s", index);
}

void TPacket::SetFieldAsInteger(std::int32_t index, std::int32_t value) {
  const TPacketField* f = ClassType().FieldAt(index);
  if (f != nullptr) {
    void* m = f->Member(*this);
    if (IsIntegerKind(f->Kind)) return StoreInt(f->Kind, m, value);
    if (f->Kind == TFieldKind::Boolean) {
      As<ByteBool>(m) = ByteBool(value != 0);
      return;
    }
  }
  RaiseFieldError("Cannot set field as integer: %s", index);
}

std::string TPacket::GetFieldAsString(std::int32_t index) const {
  const TPacketField* f = ClassType().FieldAt(index);
  if (f != nullptr) {
    const void* m = MemberOf(*f, *this);
    if (IsIntegerKind(f->Kind)) return IntText(f->Kind, m);
    switch (f->Kind) {
      case TFieldKind::Boolean: return As<ByteBool>(m) ? "True" : "False";
      case TFieldKind::Double: return FloatToTextGeneral4(As<double>(m));
      case TFieldKind::AnsiString: return As<std::string>(m);
      case TFieldKind::WideString: return WideToAnsi(As<std::u16string>(m));
      case TFieldKind::StringList: return StringsToText(As<TStrings>(m));
      default: break;
    }
  }
  RaiseFieldError("Cannot get field as string: %s", index);
}

void TPacket::SetFieldAsString(std::int32_t index, const std::string& value) {
  const TPacketField* f = ClassType().FieldAt(index);
  if (f != nullptr) {
    void* m = f->Member(*this);
    if (IsIntegerKind(f->Kind)) {
      std::int32_t v = 0;
      if (!value.empty() && !TryStrToInt(value, v))
        throw EConvertError(Format("'%s' is not a valid integer value", value));
      return StoreInt(f->Kind, m, v);
    }
    switch (f->Kind) {
      case TFieldKind::Boolean: As<ByteBool>(m) = ByteBool(SameTextAscii(value, "True")); return;
      case TFieldKind::Double: {
        double v;
        if (!TryTextToFloat(value, v)) throw EConvertError(Format("'%s' is not a valid floating point value", value));
        As<double>(m) = v;
        return;
      }
      case TFieldKind::AnsiString: As<std::string>(m) = value; return;
      case TFieldKind::WideString: As<std::u16string>(m) = AnsiToWide(value); return;
      case TFieldKind::StringList: SetStringsText(As<TStrings>(m), value); return;
      default: break;
    }
  }
  RaiseFieldError("Cannot set field as string: %s", index);
}

double TPacket::GetFieldAsDouble(std::int32_t index) const {
  const TPacketField* f = ClassType().FieldAt(index);
  if (f != nullptr) {
    const void* m = MemberOf(*f, *this);
    if (IsIntegerKind(f->Kind)) return IntAsDouble(f->Kind, m);
    if (f->Kind == TFieldKind::Double) return As<double>(m);
  }
  RaiseFieldError("Cannot get field as double: %s", index);
}

void TPacket::SetFieldAsDouble(std::int32_t index, double value) {
  const TPacketField* f = ClassType().FieldAt(index);
  if (f != nullptr) {
    void* m = f->Member(*this);
    if (IsIntegerKind(f->Kind)) {
      const double r = std::nearbyint(value);  // ties to even
      if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0))
        throw EConvertError(Format("'%s' is not a valid integer value", FloatToTextGeneral4(value)));
      return StoreInt(f->Kind, m, static_cast<std::int64_t>(r));
    }
    if (f->Kind == TFieldKind::Double) {
      As<double>(m) = value;
      return;
    }
  }
  RaiseFieldError("Cannot set field as double: %s", index);
}

// ---- Whole-packet operations ---------------------------------------------------------

void TPacket::SaveFields(TStream& stream, TPacketStreamingContext* context) const {
  ForEachField(ClassType(), [&](const TPacketField& f, std::int32_t) { SaveField(f, MemberOf(f, *this), stream, context); });
}

void TPacket::LoadFields(TStream& stream, std::int32_t& remaining, TPacketStreamingContext* context) {
  if (remaining <= 0) return;
  AllFields(ClassType(), [&](const TPacketField& f, std::int32_t) {
    LoadFieldFromStream(f, f.Member(*this), stream, context);
    return --remaining > 0;
  });
}

void TPacket::LoadFieldsFromBuffer(TCustomMemoryStream& stream, std::int32_t& remaining,
                                   TPacketStreamingContext* context) {
  if (remaining <= 0) return;
  const auto* base = static_cast<const std::uint8_t*>(stream.Memory());
  const std::int64_t size = stream.Size();
  const std::int64_t pos = stream.Position();
  const std::uint8_t* end = base + size;
  const std::uint8_t* cur = pos >= 0 && pos <= size ? base + pos : end;
  AllFields(ClassType(), [&](const TPacketField& f, std::int32_t) {
    void* m = f.Member(*this);
    switch (f.Wire) {
      case TWireForm::Raw: ReadRawFromBuffer(cur, end, m, f.Width); break;
      case TWireForm::Sized: ReadFixedFieldFromBuffer(cur, end, m, f.Width); break;
      case TWireForm::Compact: StoreInt(f.Kind, m, ReadCompactLengthFromBuffer(cur, end)); break;
      case TWireForm::String: ReadStringFieldFromBuffer(cur, end, As<std::string>(m)); break;
      case TWireForm::Wide: ReadWideStringFieldFromBuffer(cur, end, As<std::u16string>(m)); break;
      case TWireForm::StringList: ReadStringListFieldFromBuffer(cur, end, As<TStrings>(m)); break;
      case TWireForm::Stream: ReadStreamFieldFromBuffer(cur, end, As<TMemoryStream>(m), context != nullptr); break;
      default:
        stream.SetPosition(cur - base);
        LoadObjectField(f, m, stream, context);
        cur = base + stream.Position();
        if (cur > end) cur = end;
        break;
    }
    return --remaining > 0;
  });
  stream.SetPosition(cur - base);
}

void TPacket::Assign(const TPacket& source) {
  if (&source == this) return;
  const TPacketClass& cls = ClassType();
  if (IsBaseClass(cls)) return;
  if (!source.ClassType().InheritsFrom(cls)) throw EInvalidCast();
  ForEachField(cls, [&](const TPacketField& f, std::int32_t) { AssignField(f, f.Member(*this), MemberOf(f, source)); });
}

void TPacket::Clear() {
  ForEachField(ClassType(), [&](const TPacketField& f, std::int32_t) { SetDefault(f, f.Member(*this)); });
}

void TPacket::DuplicateHandles(std::uintptr_t, std::uintptr_t) {}

std::uint8_t TPacket::FieldToText(std::int32_t index, std::string& text) const {
  const TPacketField* f = ClassType().FieldAt(index);
  if (f == nullptr) return 0;
  const void* m = MemberOf(*f, *this);
  if (f->Ops != nullptr && f->Ops->ToText != nullptr) return f->Ops->ToText(m, text);
  if (IsIntegerKind(f->Kind)) {
    text = IntText(f->Kind, m);
    return 1;
  }
  switch (f->Kind) {
    case TFieldKind::Boolean: text = As<ByteBool>(m) ? "True" : "False"; return 1;
    case TFieldKind::Double: text = DateTimeToText(As<double>(m)); return 1;
    case TFieldKind::Guid: text = GuidToText(As<TGUID>(m)); return 1;
    case TFieldKind::AnsiString: text = StringFieldToText(As<std::string>(m)); return 1;
    case TFieldKind::WideString: text = StringFieldToText(WideToAnsi(As<std::u16string>(m))); return 1;
    case TFieldKind::StringList: text = StringsToText(As<TStrings>(m)); return 2;
    case TFieldKind::Stream: return StreamFieldToText(&As<TMemoryStream>(m), text);
    case TFieldKind::Chunked: return StreamFieldToText(&As<TChunkedDataContainer>(m), text);
    case TFieldKind::IntegerList: return 1;  // rendered as an empty text
    case TFieldKind::Packet: return StreamFieldToText(&As<TPacket>(m), text);
    case TFieldKind::OptionalPacket: return StreamFieldToText(As<TOptionalPacketBase>(m).Pointer(), text);
    case TFieldKind::PacketList: return StreamFieldToText(&As<TCustomPacketList>(m), text);
    case TFieldKind::AnyPacket: return StreamFieldToText(&As<TAnyPacket>(m).Get(), text);
    default: return 0;
  }
}

bool TPacket::Equals(const TPacket& other) const {
  if (&other == this) return true;
  if (!GuidsEqual(GetClassGUID(), other.GetClassGUID())) return false;
  const TPacketClass& cls = ClassType();
  if (IsBaseClass(cls)) return true;
  if (!other.ClassType().InheritsFrom(cls)) throw EInvalidCast();
  return AllFields(cls, [&](const TPacketField& f, std::int32_t) {
    return FieldEquals(f, MemberOf(f, *this), MemberOf(f, other));
  });
}

bool TPacket::CompareFields(const TPacket& other, TFieldDifferenceCallback callback, void* data) const {
  if (&other == this) return true;
  const TPacketClass& cls = ClassType();
  if (!GuidsEqual(GetClassGUID(), other.GetClassGUID()) || !other.ClassType().InheritsFrom(cls)) {
    if (callback) callback(data, -1);
    return false;
  }
  bool same = true;
  ForEachField(cls, [&](const TPacketField& f, std::int32_t index) {
    if (!FieldEquals(f, MemberOf(f, *this), MemberOf(f, other))) {
      same = false;
      if (callback) callback(data, index);
    }
  });
  return same;
}

std::unique_ptr<TPacket> TPacket::Clone() const {
  std::unique_ptr<TPacket> p = ClassType().Create();
  p->Assign(*this);
  return p;
}

void TPacket::DumpToStrings(TStrings& strings) const {
  DumpPacket(
      *this, [](void* data, const std::string& line) { static_cast<TStrings*>(data)->Add(line); }, &strings);
}

// ---- Dumps -----------------------------------------------------------------------------

void DumpPacket(const TPacket& packet, TDumpSink sink, void* data) {
  sink(data, "(" + std::string(packet.ClassName()) + ")");
  const std::int32_t n = packet.FieldCount();
  for (std::int32_t i = 0; i < n; ++i) {
    std::string text;
    const std::uint8_t r = packet.FieldToText(i, text);
    std::string line = "  " + packet.FieldName(i) + " = ";
    if (r == 0) {
      sink(data, line + "(?)");
    } else if (r == 2) {
      std::string indented;
      IndentText(text, 4, std::string(), indented);
      SplitLines(line + "\r\n" + indented, sink, data);
    } else {
      sink(data, line + text);
    }
  }
}

std::uint8_t StreamFieldToText(const TObject* object, std::string& text) {
  if (object == nullptr) {
    text = "(null)";
    return 1;
  }
  if (const auto* packet = dynamic_cast<const TPacket*>(object)) {
    std::string dump;
    DumpPacket(
        *packet,
        [](void* d, const std::string& line) {
          *static_cast<std::string*>(d) += line;
          *static_cast<std::string*>(d) += "\r\n";
        },
        &dump);
    text = dump + "\r\n";
    return 2;
  }
  if (const auto* list = dynamic_cast<const TCustomPacketList*>(object)) {
    list->DumpToText(text);
    return 2;
  }
  if (const auto* stream = dynamic_cast<const TStream*>(object)) {
    text = "(size = " + std::to_string(const_cast<TStream*>(stream)->Size()) + ")";
    return 1;
  }
  return 0;
}

// ---- Packet lists ------------------------------------------------------------------------

void TCustomPacketList::Add(std::unique_ptr<TPacket> packet) { items_.push_back(std::move(packet)); }

void TCustomPacketList::AddChecked(std::unique_ptr<TPacket> packet) {
  VT_ASSERT_AT(packet && packet->InheritsFrom(ItemClass()), kUnit, 1412);
  items_.push_back(std::move(packet));
}

void TCustomPacketList::AddCopies(const TCustomPacketList& other) {
  VT_ASSERT_AT(other.ItemClass().InheritsFrom(ItemClass()), kUnit, 1402);
  if (&other == this) {
    const std::size_t n = items_.size();
    items_.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i) items_.push_back(items_[i]->Clone());
    return;
  }
  items_.reserve(items_.size() + other.items_.size());
  for (const auto& p : other.items_) items_.push_back(p->Clone());
}

void TCustomPacketList::Assign(const TCustomPacketList& other) {
  if (&other == this) return;
  Clear();
  AddCopies(other);
}

bool TCustomPacketList::Equals(const TCustomPacketList& other) const {
  if (&other == this) return true;
  if (items_.size() != other.items_.size()) return false;
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (!items_[i]->Equals(*other.items_[i])) return false;
  return true;
}

TPacket* TCustomPacketList::GetItem(std::int32_t index) const {
  if (index < 0 || index >= Count()) throw EListError(Format("List index out of bounds (%d)", index));
  return items_[static_cast<std::size_t>(index)].get();
}

void TCustomPacketList::SaveToStream(TStream& stream, TPacketStreamingContext* context) const {
  const std::uint32_t n = static_cast<std::uint32_t>(items_.size());
  stream.WriteBuffer(&n, 4);
  for (const auto& p : items_) SavePacket(*p, stream, context, 0);
}

void TCustomPacketList::LoadFromStream(TStream& stream, TPacketStreamingContext* context) {
  std::uint32_t n;
  stream.ReadBuffer(&n, 4);
  // A packet takes at least one byte with a context, a header without.
  const std::uint64_t smallest = context != nullptr ? 1 : kPacketHeaderSize;
  if (std::uint64_t{n} * smallest > static_cast<std::uint64_t>(StreamBytesLeft(stream))) throw EReadError();
  Clear();
  items_.reserve(n);
  const TPacketClass& item_class = ItemClass();
  for (std::uint32_t i = 0; i < n; ++i) {
    std::unique_ptr<TPacket> p = LoadPacket(stream, context, 0);
    if (!p->InheritsFrom(item_class))
      throw Exception(Format("Cannot load packet list: %s is not a %s", p->ClassName(), item_class.Name()));
    items_.push_back(std::move(p));
  }
}

void TCustomPacketList::DumpToText(std::string& text) const {
  if (items_.empty()) {
    text = "(empty list)";
    return;
  }
  text.clear();
  const std::string count = std::to_string(items_.size());
  for (std::size_t i = 0; i < items_.size(); ++i) {
    text += "[" + std::to_string(i + 1) + "/" + count + "]\r\n";
    DumpPacket(
        *items_[i],
        [](void* d, const std::string& line) {
          *static_cast<std::string*>(d) += line;
          *static_cast<std::string*>(d) += "\r\n";
        },
        &text);
    text += "\r\n";
  }
}

// ---- Optional members ---------------------------------------------------------------------

TPacket& TOptionalPacketBase::Need() {
  if (!packet_) packet_ = class_->Create();
  return *packet_;
}

void TOptionalPacketBase::Set(const TPacket* source) {
  if (source == nullptr) {
    packet_.reset();
    return;
  }
  if (source == packet_.get()) return;
  Need().AssignFrom(*source);
}

bool TOptionalPacketBase::Same(const TPacket* other) const {
  if (other == nullptr) return packet_ == nullptr;
  if (packet_ == nullptr) return false;
  return packet_->Equals(*other);
}

TPacket& TOptionalPacketBase::Get(const char* owner_class, const char* field) const {
  if (!packet_)
    throw Exception(std::string("Attempt to access uninitialized member object: ") + owner_class + "." + field);
  return *packet_;
}

// ---- Registry --------------------------------------------------------------------------------

std::int32_t NextPacketClassNumber() { return g_class_counter.fetch_add(1); }

void RegisterPacketClass(const TPacketClass& cls) {
  try {
    std::atomic<std::int32_t>* cell = cls.ClassNumberPtr();
    if (cell->load() != -1) return;
    const std::int32_t number = NextPacketClassNumber();
    VT_ASSERT_AT(number < 65535, kUnit, 1691);
    std::int32_t expected = -1;
    if (!cell->compare_exchange_strong(expected, number)) return;
    try {
      Registry& registry = EnsurePacketClassRegistry();
      if (!registry.emplace(cls.GetClassGUID(), &cls).second)
        throw EListError("TGuidListEx_HashTable: Hashtable does not allow duplicates.");
    } catch (...) {
      cell->store(-1);  // the class stays unregistered
      throw;
    }
  } catch (...) {
    ReraiseWithContext("Failed to register packet class: %s", {cls.Name()});
  }
}

const TPacketClass* FindPacketClass(const TGUID& guid) {
  if (g_registry == nullptr) return nullptr;
  auto it = g_registry->find(guid);
  return it == g_registry->end() ? nullptr : it->second;
}

std::vector<const TPacketClass*> RegisteredPacketClasses() {
  std::vector<const TPacketClass*> classes;
  if (g_registry == nullptr) return classes;
  for (const auto& entry : *g_registry) classes.push_back(entry.second);
  std::sort(classes.begin(), classes.end(), [](const TPacketClass* a, const TPacketClass* b) {
    return a->ClassNumberPtr()->load() < b->ClassNumberPtr()->load();
  });
  return classes;
}

std::int32_t GetPacketClassNumber(const TPacketClass& cls) {
  const std::int32_t n = cls.ClassNumberPtr()->load();
  VT_ASSERT_AT(n > 0, kUnit, 1292);
  return n;
}

namespace {
void InitializePacketsUnit() { RegisterPacketClass(TPacket::Class); }
}  // namespace

const UnitEntry kPacketsUnit{"Packets", &InitializePacketsUnit, &FreePacketClassRegistry};

// ---- Stand-alone form and packet I/O ------------------------------------------------------------

[[noreturn]] void RaiseIncompatiblePacketClass(const TGUID& found, const TPacketClass* expected) {
  VT_ASSERT_AT(expected != nullptr, kUnit, 465);
  throw Exception(Format("Incompatible packet class: %s (%s, %s expected)", GuidToText(found),
                         GuidToText(expected->GetClassGUID()), expected->Name()));
}

void ReadPacketHeader(TStream& stream, TPacketStreamingContext* context, const TPacketClass* expected,
                      TPacketLoadInfo& info) {
  if (context != nullptr) {
    const TPacketClass* cls = nullptr;
    std::int32_t stored = 0;
    context->ReadClassRef(stream, cls, stored);
    if (expected != nullptr && cls != expected) RaiseIncompatiblePacketClass(cls->GetClassGUID(), expected);
    info.Class = cls;
    info.StoredFieldCount = stored;
    info.PayloadSize = -1;
    info.PayloadEnd = -1;
    return;
  }
  const std::int64_t start = stream.Position();
  TPacketHeader h;
  stream.ReadBuffer(&h, sizeof h);
  if (h.Version != kPacketFormatVersion)
    throw Exception(Format("Cannot load packet. Unknown format version: %d", h.Version));
  if (h.TotalSize < kPacketHeaderSize || start + static_cast<std::int64_t>(h.TotalSize) > stream.Size())
    throw Exception(Format("Cannot load packet. Invalid packet size: %u", h.TotalSize));
  if (expected != nullptr) {
    if (!GuidsEqual(expected->GetClassGUID(), h.ClassGUID)) RaiseIncompatiblePacketClass(h.ClassGUID, expected);
    info.Class = expected;
  } else {
    info.Class = FindPacketClass(h.ClassGUID);
    if (info.Class == nullptr) throw Exception(Format("Unregistered packet class: %s", GuidToText(h.ClassGUID)));
  }
  info.StoredFieldCount = h.FieldCount > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<std::int32_t>(h.FieldCount);
  info.PayloadSize = static_cast<std::int64_t>(h.TotalSize) - kPacketHeaderSize;
  info.PayloadEnd = start + kPacketHeaderSize + info.PayloadSize;
}

void ReadPacketFields(TPacket& packet, TStream& stream, TPacketStreamingContext* context,
                      const TPacketLoadInfo& info) {
  std::int32_t remaining = info.StoredFieldCount;
  if (auto* memory = dynamic_cast<TCustomMemoryStream*>(&stream)) {
    packet.LoadFieldsFromBuffer(*memory, remaining, context);
    return;
  }
  if (info.PayloadSize < 0 || info.PayloadSize > 65536) {
    packet.LoadFields(stream, remaining, context);
    return;
  }
  // Small payloads: one read, then parsed in memory.
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(info.PayloadSize));
  stream.ReadBuffer(buffer.data(), info.PayloadSize);
  TPointerStream view(buffer.data(), info.PayloadSize, true);
  packet.LoadFieldsFromBuffer(view, remaining, context);
}

namespace {

void CheckNesting() {
  if (t_load_depth > kMaxPacketNesting)
    throw Exception(Format("Cannot load packet. Nesting deeper than %d levels", kMaxPacketNesting));
}

}  // namespace

void SavePacket(const TPacket& packet, TStream& stream, TPacketStreamingContext* context, std::uint8_t flags) {
  if (flags & pioCompress) {
    TVirtualStream memory(2);
    SavePacket(packet, memory, context, static_cast<std::uint8_t>(flags & ~(pioCompress | pioBuffered)));
    memory.SetPosition(0);
    WritePacketContainer(stream, memory);
    return;
  }
  if (flags & pioBuffered) {
    TVirtualStream memory(2);
    SavePacket(packet, memory, context, static_cast<std::uint8_t>(flags & ~pioBuffered));
    stream.WriteBuffer(memory.Memory(), memory.Size());
    return;
  }
  if (t_save_depth == 0) CheckCompactFields(packet);
  DepthGuard guard(t_save_depth);
  if (context != nullptr) {
    context->WriteClassRef(stream, packet.ClassType());
    packet.SaveFields(stream, context);
    return;
  }
  const std::int64_t start = stream.Position();
  TPacketHeader h{kPacketFormatVersion, 0, static_cast<std::uint32_t>(packet.FieldCount()), 0,
                  packet.GetClassGUID()};
  stream.WriteBuffer(&h, sizeof h);
  packet.SaveFields(stream, nullptr);
  const std::int64_t size = stream.Position() - start;
  if (size > 0xFFFFFFFFll) throw EWriteError("Packet too large for the stand-alone form");
  h.TotalSize = static_cast<std::uint32_t>(size);
  stream.SetPosition(start);
  stream.WriteBuffer(&h, sizeof h);
  stream.SetPosition(start + size);
}

void LoadPacketInto(TPacket& packet, TStream& stream, TPacketStreamingContext* context, std::uint8_t flags) {
  if (flags & pioCompressed) {
    std::unique_ptr<TStream> data = OpenPacketContainer(stream);
    LoadPacketInto(packet, *data, context, static_cast<std::uint8_t>(flags & ~pioCompressed));
    return;
  }
  DepthGuard guard(t_load_depth);
  CheckNesting();
  TPacketLoadInfo info;
  ReadPacketHeader(stream, context, &packet.ClassType(), info);
  ReadPacketFields(packet, stream, context, info);
  if (info.PayloadEnd >= 0) stream.SetPosition(info.PayloadEnd);
}

std::unique_ptr<TPacket> LoadPacket(TStream& stream, TPacketStreamingContext* context, std::uint8_t flags) {
  if (flags & pioCompressed) {
    std::unique_ptr<TStream> data = OpenPacketContainer(stream);
    return LoadPacket(*data, context, static_cast<std::uint8_t>(flags & ~pioCompressed));
  }
  DepthGuard guard(t_load_depth);
  CheckNesting();
  TPacketLoadInfo info;
  ReadPacketHeader(stream, context, nullptr, info);
  std::unique_ptr<TPacket> packet = info.Class->Create();
  ReadPacketFields(*packet, stream, context, info);
  if (info.PayloadEnd >= 0) stream.SetPosition(info.PayloadEnd);
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
