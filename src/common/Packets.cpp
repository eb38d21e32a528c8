// TPacket's operations, written once over the field tables, with the
// field-by-field save and load; packet lists; optional members; dumps.
#include "common/Packets.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <iterator>
#include <type_traits>
#include <vector>

#include "common/Objects.h"
#include "common/PacketFields.h"
#include "common/TestHooks.h"
#include "platform/FaultSupport.h"
#include "platform/ThreadApi.h"
#include "platform/Utf.h"

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
// A Fn answering bool stops the walk at false; the result tells whether the
// walk ran to the end. A chain deeper than the walk can hold is refused.
template <typename Fn>
bool WalkFields(const TPacketClass& cls, Fn&& fn) {
  constexpr int kMaxDepth = 16;
  const TPacketClass* chain[kMaxDepth];
  int depth = 0;
  for (const TPacketClass* c = &cls; c != nullptr; c = c->Parent()) {
    if (depth == kMaxDepth)
      throw Exception(Format("Packet class %s derives from more than %d classes", cls.Name(), kMaxDepth - 1));
    chain[depth++] = c;
  }
  std::int32_t index = 0;
  for (int i = depth - 1; i >= 0; --i)
    for (const TPacketField& f : chain[i]->OwnFields()) {
      if constexpr (std::is_void_v<std::invoke_result_t<Fn&, const TPacketField&, std::int32_t>>) {
        fn(f, index++);
      } else if (!fn(f, index++)) {
        return false;
      }
    }
  return true;
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
      As<std::u16string>(m) = f.TextDefault ? os::Utf8ToUtf16(f.TextDefault) : std::u16string();
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
    case TFieldKind::AnyPacket:
      if (TPacket* p = As<TAnyPacket>(m).Pointer()) p->Clear();
      break;
    default: break;
  }
}

// The packet an any-class member holds; none raises the
// uninitialized-member error with the owner's field name.
TPacket& HeldPacket(const void* m, const TPacketClass& owner, std::int32_t index) {
  TPacket* p = As<TAnyPacket>(m).Pointer();
  if (p == nullptr)
    throw Exception("Attempt to access uninitialized member object: " + QualifiedFieldName(owner, index));
  return *p;
}

void AssignField(const TPacketField& f, void* m, const void* s, const TPacketClass& owner, std::int32_t index) {
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
    case TFieldKind::AnyPacket: {
      const TPacket& source = HeldPacket(s, owner, index);
      HeldPacket(m, owner, index).AssignFrom(source);
      break;
    }
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
    case TFieldKind::AnyPacket: {  // holding none is a value of its own
      const TPacket* pa = As<TAnyPacket>(a).Pointer();
      const TPacket* pb = As<TAnyPacket>(b).Pointer();
      return pa != nullptr && pb != nullptr ? pa->Equals(*pb) : pa == pb;
    }
    default: return true;
  }
}

std::int64_t CompactValue(const TPacketField& f, const void* m) {
  return IsUnsignedKind(f.Kind) ? static_cast<std::int64_t>(static_cast<std::uint64_t>(LoadInt(f.Kind, m)))
                                : LoadInt(f.Kind, m);
}

void SaveField(const TPacketField& f, const void* m, TFieldWriter& w, TPacketStreamingContext* context,
               const TPacketClass& owner, std::int32_t index) {
  switch (f.Wire) {
    case TWireForm::Raw: w.Put(m, f.Width); break;
    case TWireForm::Sized: w.WriteSized(m, f.Width); break;
    case TWireForm::Compact: w.PutCompact(CompactValue(f, m)); break;
    case TWireForm::String: w.WriteString(As<std::string>(m)); break;
    case TWireForm::Wide: w.WriteWide(As<std::u16string>(m)); break;
    case TWireForm::StringList: w.WriteStringList(As<TStrings>(m)); break;
    case TWireForm::Stream: {
      w.WriteStreamBlock(As<TMemoryStream>(m), context != nullptr);
      break;
    }
    case TWireForm::Chunked:
      w.WriteChunked(const_cast<TChunkedDataContainer&>(As<TChunkedDataContainer>(m)), context != nullptr);
      break;
    case TWireForm::TypedList: const_cast<TCustomList&>(As<TCustomList>(m)).SaveToStream(w); break;
    case TWireForm::Packet:
      SavePacket(f.Kind == TFieldKind::AnyPacket ? HeldPacket(m, owner, index) : As<TPacket>(m), w, context, 0);
      break;
    case TWireForm::OptionalPacket: {
      const TPacket* p = As<TOptionalPacketBase>(m).Pointer();
      w.PutByte(p != nullptr ? 1 : 0);
      if (p != nullptr) SavePacket(*p, w, context, 0);
      break;
    }
    case TWireForm::PacketList: As<TCustomPacketList>(m).SaveToStream(w, context); break;
    case TWireForm::Custom: f.Ops->Save(m, w, context); break;
  }
}

void LoadField(const TPacketField& f, void* m, TFieldReader& r, TPacketStreamingContext* context) {
  switch (f.Wire) {
    case TWireForm::Raw: r.Get(m, f.Width); break;
    case TWireForm::Sized: r.ReadSized(m, f.Width); break;
    case TWireForm::Compact: StoreInt(f.Kind, m, r.GetCompact()); break;
    case TWireForm::String: r.ReadString(As<std::string>(m)); break;
    case TWireForm::Wide: r.ReadWide(As<std::u16string>(m)); break;
    case TWireForm::StringList: r.ReadStringList(As<TStrings>(m)); break;
    case TWireForm::Stream: r.ReadStream(As<TMemoryStream>(m), context != nullptr); break;
    case TWireForm::Chunked: r.ReadChunked(As<TChunkedDataContainer>(m), context != nullptr); break;
    case TWireForm::TypedList: {
      auto& list = As<TCustomList>(m);
      r.ReadTypedList(list, list.ItemSize());
      break;
    }
    case TWireForm::Packet:
      if (f.Kind == TFieldKind::AnyPacket) {
        As<TAnyPacket>(m).Reset(LoadPacket(r, context, 0));
      } else {
        LoadPacketInto(As<TPacket>(m), r, context, 0);
      }
      break;
    case TWireForm::OptionalPacket: {
      auto& member = As<TOptionalPacketBase>(m);
      if (r.GetByte() != 0) {
        LoadPacketInto(member.Need(), r, context, 0);
      } else {
        member.Free();
      }
      break;
    }
    case TWireForm::PacketList: As<TCustomPacketList>(m).LoadFromStream(r, context); break;
    case TWireForm::Custom:
      f.Ops->Load(m, r, context);  // through the reader: bounded by the packet's end
      break;
  }
}

// Facts about a class's fields, worked out once per class.
enum : std::uint8_t {
  kTraitsKnown = 1,
  kHoldsCompact = 2,  // a compact field, own, inherited or in a nested packet
  kOwnDefaults = 4,   // an own field that InitializeFields must set or check
  kNotReplaced = 8,   // a field a load does not replace whole (nested packets, custom)
};

bool HoldsCompactOrNested(const TPacketField& f) {
  return f.Wire == TWireForm::Compact || f.Kind == TFieldKind::Packet || f.Kind == TFieldKind::AnyPacket ||
         f.Kind == TFieldKind::OptionalPacket || f.Kind == TFieldKind::PacketList;
}

// Fields that construction leaves as they must be: owned objects start
// empty, strings without a default empty.
bool ConstructedDefault(const TPacketField& f) {
  if (f.Wire == TWireForm::Custom) return false;
  switch (f.Kind) {
    case TFieldKind::AnsiString:
    case TFieldKind::WideString: return f.TextDefault == nullptr;
    case TFieldKind::StringList:
    case TFieldKind::Stream:
    case TFieldKind::Chunked:
    case TFieldKind::IntegerList:
    case TFieldKind::TypedList:
    case TFieldKind::Packet:
    case TFieldKind::OptionalPacket:
    case TFieldKind::PacketList:
    case TFieldKind::AnyPacket:
    case TFieldKind::Custom: return true;
    default: return false;
  }
}

std::uint8_t ClassTraits(const TPacketClass& cls) {
  std::atomic<std::uint8_t>& cell = cls.TraitsCell();
  std::uint8_t traits = cell.load(std::memory_order_relaxed);
  if (traits != 0) return traits;
  traits = kTraitsKnown;
  WalkFields(cls, [&](const TPacketField& f, std::int32_t) {
    if (HoldsCompactOrNested(f)) traits |= kHoldsCompact;
    if (f.Wire >= TWireForm::Packet || f.Ops != nullptr) traits |= kNotReplaced;
  });
  for (const TPacketField& f : cls.OwnFields())
    if (!ConstructedDefault(f)) traits |= kOwnDefaults;
  cell.store(traits, std::memory_order_relaxed);
  return traits;
}

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
  if (ClassTraits(cls) & kOwnDefaults)
    for (const TPacketField& f : cls.OwnFields()) {
      if (f.Wire == TWireForm::Custom) CheckCustomOps(f);
      if (!ConstructedDefault(f)) SetDefault(f, f.Member(*this));
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
      case TFieldKind::AnyPacket: return As<TAnyPacket>(m).Pointer();
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
      case TFieldKind::WideString: return os::Utf16ToUtf8(As<std::u16string>(m));
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
      case TFieldKind::WideString: As<std::u16string>(m) = os::Utf8ToUtf16(value); return;
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

bool LoadReplacesEveryField(const TPacketClass& cls) { return !(ClassTraits(cls) & kNotReplaced); }

namespace {

// Top: the stack left at the tree's root. A load takes more stack a level
// than this walk, so every few levels the walk keeps in hand the reserve
// and as much again as it has taken.
void CheckBeforeSave(const TPacket& packet, int depth, std::size_t top) {
  if (depth > kMaxPacketNesting) [[unlikely]]
    RaiseNestingTooDeep("save");
  if ((depth & 7) == 0) {
    const std::size_t left = os::StackSpaceLeft();
    if (left < kNestingStackReserve || left - kNestingStackReserve < top - left) [[unlikely]]
      RaiseStackTooSmall("save", depth);
  }
  const TPacketClass& cls = packet.ClassType();
  if (!(ClassTraits(cls) & kHoldsCompact)) return;
  WalkFields(cls, [&](const TPacketField& f, std::int32_t index) {
    const void* m = MemberOf(f, packet);
    switch (f.Kind) {
      case TFieldKind::Packet: CheckBeforeSave(As<TPacket>(m), depth + 1, top); return;
      case TFieldKind::AnyPacket: CheckBeforeSave(HeldPacket(m, cls, index), depth + 1, top); return;
      case TFieldKind::OptionalPacket:
        if (const TPacket* p = As<TOptionalPacketBase>(m).Pointer()) CheckBeforeSave(*p, depth + 1, top);
        return;
      case TFieldKind::PacketList: {
        const auto& list = As<TCustomPacketList>(m);
        if (list.ItemsToCheck() == 0) {  // leaves: only their level counts
          if (!list.IsEmpty() && depth + 1 > kMaxPacketNesting) RaiseNestingTooDeep("save");
          return;
        }
        for (std::int32_t i = 0; i < list.Count(); ++i) CheckBeforeSave(*list.GetItem(i), depth + 1, top);
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

}  // namespace

void CheckBeforeSave(const TPacket& packet) { CheckBeforeSave(packet, 1, os::StackSpaceLeft()); }

// ---- Deep trees on any stack ---------------------------------------------------------

namespace {

// Levels of a tree walk (compare, assign, clear, dump) in progress on
// this thread.
thread_local int t_walk_depth = 0;
// The stack of a thread that goes on with a walk this thread's stack
// cannot hold.
constexpr std::size_t kWalkStackSize = std::size_t{8} << 20;

// Threads started by WalkOnLargeStack.
std::atomic<int> g_walk_helpers{0};

// Runs Body(Data) on a new thread with a large stack and waits for it; what
// it raises is raised here. A thread that cannot be made is the stack
// being too small for the walk.
[[gnu::noinline]] void WalkOnLargeStack(const char* action, void (*body)(void*), void* data) {
  g_walk_helpers.fetch_add(1, std::memory_order_relaxed);
  struct Job {
    void (*body)(void*);
    void* data;
    std::exception_ptr error;
  } job{body, data, nullptr};
  const os::ThreadHandle thread = os::CreateThread(
      kWalkStackSize,
      [](void* param) -> os::DWORD {
        auto* j = static_cast<Job*>(param);
        try {
          j->body(j->data);
        } catch (...) {
          j->error = std::current_exception();
        }
        return 0;
      },
      &job, 0, nullptr);
  if (thread == nullptr) RaiseStackTooSmall(action, t_walk_depth);
  os::WaitForThread(thread, os::kInfinite);
  os::CloseThreadHandle(thread);
  if (job.error) std::rethrow_exception(job.error);
}

// Fn, a walk or the rest of one: here while the stack keeps its reserve,
// else on a thread of its own, which the levels below it then share.
template <typename Fn>
auto OnEnoughStack(const char* action, Fn&& fn) -> decltype(fn()) {
  if (os::StackSpaceLeft() >= kNestingStackReserve) [[likely]]
    return fn();
  using R = decltype(fn());
  using F = std::remove_reference_t<Fn>;
  if constexpr (std::is_void_v<R>) {
    WalkOnLargeStack(action, [](void* f) { (*static_cast<F*>(f))(); }, &fn);
  } else {
    struct Call {
      F* fn;
      R result{};
    } call{&fn};
    WalkOnLargeStack(
        action, [](void* c) { static_cast<Call*>(c)->result = (*static_cast<Call*>(c)->fn)(); }, &call);
    return call.result;
  }
}

// Fn, one level of a walk.
template <typename Fn>
auto WalkLevel(const char* action, Fn&& fn) -> decltype(fn()) {
  struct Level {
    Level() { ++t_walk_depth; }
    ~Level() { --t_walk_depth; }
  } level;
  return OnEnoughStack(action, fn);
}

}  // namespace

int CommonTestHelper::WalkHelpersStarted() { return g_walk_helpers.load(); }

namespace {

// Packets whose destruction waits while an outer one frees its tree.
thread_local std::vector<std::unique_ptr<TPacket>>* t_freeing = nullptr;

}  // namespace

void TPacket::FinalizeFields(const TPacketClass& cls) {
  cls.InstanceDestroyed();
  if (!(ClassTraits(cls) & kHoldsCompact)) return;
  std::vector<std::unique_ptr<TPacket>> own;
  std::vector<std::unique_ptr<TPacket>>& into = t_freeing != nullptr ? *t_freeing : own;
  for (const TPacketField& f : cls.OwnFields()) {
    void* m = f.Member(*this);
    switch (f.Kind) {
      case TFieldKind::OptionalPacket:
        if (std::unique_ptr<TPacket> p = As<TOptionalPacketBase>(m).Take()) into.push_back(std::move(p));
        break;
      case TFieldKind::AnyPacket:
        if (std::unique_ptr<TPacket> p = As<TAnyPacket>(m).Take()) into.push_back(std::move(p));
        break;
      case TFieldKind::PacketList: {
        auto& list = As<TCustomPacketList>(m);
        if (list.ItemsToCheck() != 0) list.TakeItems(into);  // else leaves: freed by the list
        break;
      }
      default: break;
    }
  }
  if (t_freeing != nullptr) return;
  // The outermost packet frees the tree, a packet at a time; each adds the
  // packets it holds.
  struct Freeing {
    explicit Freeing(std::vector<std::unique_ptr<TPacket>>* list) { t_freeing = list; }
    ~Freeing() { t_freeing = nullptr; }
  } freeing(&own);
  while (!own.empty()) {
    std::unique_ptr<TPacket> p = std::move(own.back());
    own.pop_back();
    p.reset();
  }
}

void RaiseNestingTooDeep(const char* action) {
  throw Exception(Format("Cannot %s packet. Nesting deeper than %d levels", action, kMaxPacketNesting));
}

void RaiseStackTooSmall(const char* action, int depth) {
  throw Exception(Format("Cannot %s packet. Not enough stack left for nesting %d levels deep", action, depth));
}

// ---- Whole-packet operations ---------------------------------------------------------

void TPacket::SaveFields(TStream& stream, TPacketStreamingContext* context) const {
  TWriterScope writer(stream);
  const TPacketClass& cls = ClassType();
  WalkFields(cls, [&](const TPacketField& f, std::int32_t index) {
    SaveField(f, MemberOf(f, *this), *writer, context, cls, index);
  });
  writer.Done();
}

void TPacket::LoadFields(TStream& stream, std::int32_t& remaining, TPacketStreamingContext* context) {
  if (remaining <= 0) return;
  TReaderScope reader(stream, -1);
  WalkFields(ClassType(), [&](const TPacketField& f, std::int32_t) {
    LoadField(f, f.Member(*this), *reader, context);
    return --remaining > 0;
  });
  reader.Done();
}

void TPacket::LoadFieldsFromBuffer(TCustomMemoryStream& stream, std::int32_t& remaining,
                                   TPacketStreamingContext* context) {
  LoadFields(stream, remaining, context);
}

void TPacket::Assign(const TPacket& source) {
  if (&source == this) return;
  const TPacketClass& cls = ClassType();
  if (IsBaseClass(cls)) return;
  if (!source.ClassType().InheritsFrom(cls)) throw EInvalidCast();
  WalkLevel("assign", [&] {
    WalkFields(cls, [&](const TPacketField& f, std::int32_t index) {
      AssignField(f, f.Member(*this), MemberOf(f, source), cls, index);
    });
  });
}

void TPacket::Clear() {
  WalkLevel("clear", [&] {
    WalkFields(ClassType(), [&](const TPacketField& f, std::int32_t) { SetDefault(f, f.Member(*this)); });
  });
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
    case TFieldKind::WideString: text = StringFieldToText(os::Utf16ToUtf8(As<std::u16string>(m))); return 1;
    case TFieldKind::StringList: text = StringsToText(As<TStrings>(m)); return 2;
    case TFieldKind::Stream: return StreamFieldToText(&As<TMemoryStream>(m), text);
    case TFieldKind::Chunked: return StreamFieldToText(&As<TChunkedDataContainer>(m), text);
    case TFieldKind::IntegerList: return 1;  // rendered as an empty text
    case TFieldKind::Packet: return StreamFieldToText(&As<TPacket>(m), text);
    case TFieldKind::OptionalPacket: return StreamFieldToText(As<TOptionalPacketBase>(m).Pointer(), text);
    case TFieldKind::PacketList: return StreamFieldToText(&As<TCustomPacketList>(m), text);
    case TFieldKind::AnyPacket: return StreamFieldToText(As<TAnyPacket>(m).Pointer(), text);
    default: return 0;
  }
}

bool TPacket::Equals(const TPacket& other) const {
  if (&other == this) return true;
  if (!GuidsEqual(GetClassGUID(), other.GetClassGUID())) return false;
  const TPacketClass& cls = ClassType();
  if (IsBaseClass(cls)) return true;
  if (!other.ClassType().InheritsFrom(cls)) throw EInvalidCast();
  return WalkLevel("compare", [&] {
    return WalkFields(cls, [&](const TPacketField& f, std::int32_t) {
      return FieldEquals(f, MemberOf(f, *this), MemberOf(f, other));
    });
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
  WalkFields(cls, [&](const TPacketField& f, std::int32_t index) {
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

namespace {
void DumpPacketHere(const TPacket& packet, TDumpSink sink, void* data);
}  // namespace

void DumpPacket(const TPacket& packet, TDumpSink sink, void* data) {
  WalkLevel("dump", [&] { DumpPacketHere(packet, sink, data); });
}

namespace {

void DumpPacketHere(const TPacket& packet, TDumpSink sink, void* data) {
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

}  // namespace

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

void TCustomPacketList::Counted(const TPacket& packet) {
  if (ClassTraits(packet.ClassType()) & kHoldsCompact) ++to_check_;
}

void TCustomPacketList::Add(std::unique_ptr<TPacket> packet) {
  items_.push_back(std::move(packet));
  Counted(*items_.back());
}

void TCustomPacketList::AddChecked(std::unique_ptr<TPacket> packet) {
  VT_ASSERT_AT(packet && packet->InheritsFrom(ItemClass()), kUnit, 1412);
  Add(std::move(packet));
}

// The walks over the items (copies, comparisons, dumps) share one thread of
// their own when the stack runs low.
void TCustomPacketList::AddCopies(const TCustomPacketList& other) {
  VT_ASSERT_AT(other.ItemClass().InheritsFrom(ItemClass()), kUnit, 1402);
  OnEnoughStack("assign", [&] {
    if (&other == this) {
      const std::size_t n = items_.size();
      items_.reserve(n * 2);
      for (std::size_t i = 0; i < n; ++i) Add(items_[i]->Clone());
      return;
    }
    items_.reserve(items_.size() + other.items_.size());
    for (const auto& p : other.items_) Add(p->Clone());
  });
}

void TCustomPacketList::Assign(const TCustomPacketList& other) {
  if (&other == this) return;
  Clear();
  AddCopies(other);
}

bool TCustomPacketList::Equals(const TCustomPacketList& other) const {
  if (&other == this) return true;
  if (items_.size() != other.items_.size()) return false;
  return OnEnoughStack("compare", [&] {
    for (std::size_t i = 0; i < items_.size(); ++i)
      if (!items_[i]->Equals(*other.items_[i])) return false;
    return true;
  });
}

TPacket* TCustomPacketList::GetItem(std::int32_t index) const {
  if (index < 0 || index >= Count()) throw EListError(Format("List index out of bounds (%d)", index));
  return items_[static_cast<std::size_t>(index)].get();
}

void TCustomPacketList::SaveToStream(TStream& stream, TPacketStreamingContext* context) const {
  WithFieldWriter(stream, [&](TFieldWriter& writer) {
    const std::uint32_t n = static_cast<std::uint32_t>(items_.size());
    writer.Put(&n, 4);
    for (const auto& p : items_) SavePacket(*p, writer, context, 0);
  });
}

void TCustomPacketList::LoadFromStream(TStream& stream, TPacketStreamingContext* context) {
  TReaderScope reader(stream, -1);
  const std::uint32_t n = reader->GetUInt32();
  // A packet takes at least one byte with a context, a header without;
  // room is made for the packets whose bytes are at hand.
  const std::size_t least = context != nullptr ? 1 : kPacketHeaderSize;
  reader->CheckFits(std::uint64_t{n} * least);
  // The items there are may be loaded over instead of freed and made anew.
  const std::size_t keep = std::min<std::size_t>(items_.size(), n);
  items_.resize(keep);
  items_.reserve(std::min<std::size_t>(n, keep + reader->InHand() / least));
  const TPacketClass& item_class = ItemClass();
  std::size_t i = 0, to_check = 0;
  try {
    for (; i < n; ++i) {
      std::unique_ptr<TPacket> p = LoadPacketOver(i < keep ? std::move(items_[i]) : nullptr, *reader, context);
      const TPacketClass& cls = p->ClassType();
      if (!cls.InheritsFrom(item_class))
        throw Exception(Format("Cannot load packet list: %s is not a %s", cls.Name(), item_class.Name()));
      if (ClassTraits(cls) & kHoldsCompact) ++to_check;
      if (i < keep) {
        items_[i] = std::move(p);
      } else {
        items_.push_back(std::move(p));
      }
    }
  } catch (...) {
    items_.resize(i);  // the packets read before stay
    to_check_ = to_check;
    throw;
  }
  to_check_ = to_check;
  reader.Done();
}

void TCustomPacketList::TakeItems(std::vector<std::unique_ptr<TPacket>>& into) {
  into.insert(into.end(), std::make_move_iterator(items_.begin()), std::make_move_iterator(items_.end()));
  Clear();
}

void TCustomPacketList::DumpToText(std::string& text) const {
  if (items_.empty()) {
    text = "(empty list)";
    return;
  }
  OnEnoughStack("dump", [&] { DumpItems(text); });
}

void TCustomPacketList::DumpItems(std::string& text) const {
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

}  // namespace vt
