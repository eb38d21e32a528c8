// The packet framework: field-indexed message classes, their class
// registry, packet lists and the stand-alone and streaming-context I/O.
//
// A packet class is declared once, as data. Its C++ class holds typed
// public members; a constant field table names each member with its type
// code, wire form, default and display texts; every generic operation
// (create with defaults, clear, assign, equals, compare, text, typed access
// by index, save, load, dump) is written once in TPacket and walks that
// table. Declaring a class:
//
//   // header
//   class TExamplePacket : public TPacket {
//     VT_PACKET_CLASS(TExamplePacket, TPacket)
//    public:
//     std::int32_t Count{};
//     std::string Caption;
//     TStringListEx Lines;
//   };
//
//   // source
//   VT_PACKET_FIELDS(TExamplePacket) = {
//       VT_FIELD(Count, pftInteger, Compact).WithDefault(-1),
//       VT_FIELD(Caption, pftString, String).WithCaption("Title"),
//       VT_FIELD(Lines, pftObject, StringList),
//   };
//   VT_DEFINE_PACKET(TExamplePacket, "{01234567-89AB-CDEF-0123-456789ABCDEF}")
//
// and register the class in its unit's registration routine, which the
// unit's initialization runs (see Units.h). The in-memory type comes from the
// member; the declaration is checked at compile time against the type code
// and the wire form. Classes that depart from the shape override the
// virtual operations they need or give a field custom operations
// (TCustomFieldOps).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/ChunkedDataContainer.h"
#include "common/Classes.h"
#include "common/Guid.h"
#include "common/Lists.h"
#include "common/StreamUtils.h"
#include "common/StringLists.h"
#include "common/SysUtils.h"
#include "common/TypedLists.h"
#include "common/Units.h"

namespace vt {

class TPacket;
class TPacketClass;
class TCustomPacketList;
class TPacketStreamingContext;

// ---- Field value types ----------------------------------------------------

// A Boolean held as one byte: 0 is False, any other value True. The byte
// is kept as stored (a stored 2 is saved back as 2 and differs from 1).
struct ByteBool {
  std::uint8_t Value = 0;
  constexpr ByteBool() = default;
  constexpr ByteBool(bool b) : Value(b ? 1 : 0) {}
  constexpr operator bool() const { return Value != 0; }
};
static_assert(sizeof(ByteBool) == 1);

// TPacket.FieldType codes.
enum TPacketFieldType : std::uint8_t {
  pftOther = 0,
  pftString = 1,
  pftInteger = 2,
  pftBoolean = 3,
  pftDouble = 4,
  pftObject = 5,
};

// In-memory kind of a field, derived from the member's C++ type.
enum class TFieldKind : std::uint8_t {
  Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64,
  Boolean, Double, Guid,
  Bytes,  // enumeration, set or OS record: opaque bytes
  AnsiString, WideString,
  StringList, Stream, Chunked,
  IntegerList, TypedList,  // TIntegerList; other TCustomList descendants
  Packet, OptionalPacket, PacketList, AnyPacket,
  Custom,
};

enum class TWireForm : std::uint8_t {
  Raw, Sized, Compact, String, Wide, StringList, Stream, Chunked, TypedList, Packet, OptionalPacket, PacketList,
  Custom,
};

struct TWireSpec {
  TWireForm Form;
  std::uint16_t Width;  // raw and sized forms
};

// Names for the wire column of a field declaration (VT_FIELD).
namespace wire {
constexpr TWireSpec Raw(int n) { return {TWireForm::Raw, static_cast<std::uint16_t>(n)}; }
constexpr TWireSpec Sized(int n) { return {TWireForm::Sized, static_cast<std::uint16_t>(n)}; }
inline constexpr TWireSpec Compact{TWireForm::Compact, 0};
inline constexpr TWireSpec String{TWireForm::String, 0};
inline constexpr TWireSpec Wide{TWireForm::Wide, 0};
inline constexpr TWireSpec StringList{TWireForm::StringList, 0};
inline constexpr TWireSpec Stream{TWireForm::Stream, 0};
inline constexpr TWireSpec Chunked{TWireForm::Chunked, 0};
// Compact count, then the raw item records (integer lists and other typed lists).
inline constexpr TWireSpec TypedList{TWireForm::TypedList, 0};
inline constexpr TWireSpec IntList{TWireForm::TypedList, 0};
inline constexpr TWireSpec Packet{TWireForm::Packet, 0};
inline constexpr TWireSpec OptionalPacket{TWireForm::OptionalPacket, 0};
inline constexpr TWireSpec PacketList{TWireForm::PacketList, 0};
inline constexpr TWireSpec Custom{TWireForm::Custom, 0};
}  // namespace wire

// Operations of a field whose wire form no standard encoding describes
// (wire form Custom). Save and Load must be set. When the member's type has
// a standard kind (an integer, say), Clear, Assign, Equals and ToText may
// be left null: that kind serves them, and the typed accessors; for any
// other member type every entry must be set. Member is the field's address
// in the packet.
struct TCustomFieldOps {
  void (*Save)(const void* member, TStream& stream, TPacketStreamingContext* context);
  void (*Load)(void* member, TStream& stream, TPacketStreamingContext* context);
  void (*Clear)(void* member);
  void (*Assign)(void* member, const void* source);
  bool (*Equals)(const void* a, const void* b);
  // FieldToText: 0 not rendered, 1 one line, 2 several lines.
  std::uint8_t (*ToText)(const void* member, std::string& text);
};

// One entry of a class's field table.
struct TPacketField {
  const char* Name = "";
  TFieldKind Kind = TFieldKind::Bytes;
  TWireForm Wire = TWireForm::Raw;
  std::uint8_t TypeCode = pftOther;
  std::uint16_t Width = 0;  // bytes of the member for raw, sized and numeric kinds
  void* (*Member)(TPacket& packet) = nullptr;
  std::int64_t IntDefault = 0;
  double FloatDefault = 0;
  const char* TextDefault = nullptr;
  const char* ItemName = "";
  const char* Caption = "";
  const char* ItemCaption = "";
  const TCustomFieldOps* Ops = nullptr;

  constexpr TPacketField WithDefault(std::int64_t v) const {
    TPacketField f = *this;
    f.IntDefault = v;
    return f;
  }
  constexpr TPacketField WithDefault(int v) const { return WithDefault(static_cast<std::int64_t>(v)); }
  constexpr TPacketField WithDefault(bool v) const { return WithDefault(static_cast<std::int64_t>(v ? 1 : 0)); }
  constexpr TPacketField WithDefault(double v) const {
    TPacketField f = *this;
    f.FloatDefault = v;
    return f;
  }
  constexpr TPacketField WithDefault(const char* v) const {
    TPacketField f = *this;
    f.TextDefault = v;
    return f;
  }
  constexpr TPacketField WithItemName(const char* v) const {
    TPacketField f = *this;
    f.ItemName = v;
    return f;
  }
  constexpr TPacketField WithCaption(const char* v) const {
    TPacketField f = *this;
    f.Caption = v;
    return f;
  }
  constexpr TPacketField WithItemCaption(const char* v) const {
    TPacketField f = *this;
    f.ItemCaption = v;
    return f;
  }
  constexpr TPacketField WithOps(const TCustomFieldOps* ops) const {
    TPacketField f = *this;
    f.Ops = ops;
    return f;
  }
};

// ---- Class-level data -----------------------------------------------------

using TPacketFactory = std::unique_ptr<TPacket> (*)();

// One per packet class: the class reference. Class-level operations are
// callable on it without an instance.
class TPacketClass {
 public:
  constexpr TPacketClass(const char* name, const TPacketClass* parent, const TGUID& guid,
                         std::span<const TPacketField> fields, TPacketFactory factory,
                         bool shares_parent_identity = false)
      : name_(name),
        parent_(parent),
        guid_(guid),
        fields_(fields),
        factory_(factory),
        shares_parent_identity_(shares_parent_identity) {}
  TPacketClass(const TPacketClass&) = delete;
  TPacketClass& operator=(const TPacketClass&) = delete;

  const char* Name() const { return name_; }
  const TPacketClass* Parent() const { return parent_; }
  bool InheritsFrom(const TPacketClass& other) const;

  // The class GUID (a class that shares its parent's identity answers the
  // parent's).
  const TGUID& GetClassGUID() const;
  // The class-number cell: -1 until RegisterPacketClass numbers the class.
  std::atomic<std::int32_t>* ClassNumberPtr() const;
  std::int32_t InstanceCount() const;

  std::int32_t FieldCount() const;
  std::int32_t FieldIndexByName(std::string_view name) const;
  TPacketFieldType FieldType(std::int32_t index) const;
  std::string FieldName(std::int32_t index) const;
  std::string FieldItemName(std::int32_t index) const;
  // Caption, else the field name; item caption, else the item name.
  std::string FieldCaption(std::int32_t index) const;
  std::string FieldItemCaption(std::int32_t index) const;

  // The entry of a field index (own or inherited), nullptr out of range.
  const TPacketField* FieldAt(std::int32_t index) const;
  std::span<const TPacketField> OwnFields() const { return fields_; }

  // The virtual constructor: a new instance with every default set.
  std::unique_ptr<TPacket> Create() const { return factory_(); }

  // Facts about the class's fields that the packet code works out on first
  // use (0 until then).
  std::atomic<std::uint8_t>& TraitsCell() const { return traits_; }

  // Live-instance counter, kept by the generated constructors: plain
  // increments, a diagnostic that concurrent changes may miss.
  void InstanceCreated() const {
    instances_.store(instances_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
  void InstanceDestroyed() const {
    instances_.store(instances_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
  }

 private:
  const char* name_;
  const TPacketClass* parent_;
  TGUID guid_;
  std::span<const TPacketField> fields_;
  TPacketFactory factory_;
  bool shares_parent_identity_;
  mutable std::atomic<std::int32_t> class_number_{-1};
  mutable std::atomic<std::int32_t> instances_{0};
  mutable std::atomic<std::uint8_t> traits_{0};
};

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" at compile time.
consteval TGUID GuidLiteral(const char (&s)[39]) {
  auto hex = [](char c) -> std::uint32_t {
    if (c >= '0' && c <= '9') return static_cast<std::uint32_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<std::uint32_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<std::uint32_t>(c - 'a' + 10);
    throw "bad GUID digit";
  };
  auto word = [&](int pos, int digits) {
    std::uint32_t v = 0;
    for (int i = 0; i < digits; ++i) v = v * 16 + hex(s[pos + i]);
    return v;
  };
  if (s[0] != '{' || s[9] != '-' || s[14] != '-' || s[19] != '-' || s[24] != '-' || s[37] != '}')
    throw "bad GUID layout";
  TGUID g{};
  g.D1 = word(1, 8);
  g.D2 = static_cast<std::uint16_t>(word(10, 4));
  g.D3 = static_cast<std::uint16_t>(word(15, 4));
  g.D4[0] = static_cast<std::uint8_t>(word(20, 2));
  g.D4[1] = static_cast<std::uint8_t>(word(22, 2));
  for (int i = 0; i < 6; ++i) g.D4[2 + i] = static_cast<std::uint8_t>(word(25 + 2 * i, 2));
  return g;
}

// ---- TPacket --------------------------------------------------------------

// Called once for every differing field (index -1: other class).
using TFieldDifferenceCallback = void (*)(void* data, std::int32_t index);

class TPacket : public TObject {
 public:
  using Self = TPacket;
  static const TPacketClass Class;

  TPacket() = default;
  ~TPacket() override = default;
  TPacket(const TPacket&) = delete;
  TPacket& operator=(const TPacket&) = delete;

  // The class reference of the instance.
  virtual const TPacketClass& ClassType() const { return Class; }

  // Typed access by field index. A field the accessor does not serve raises
  // Exception("Cannot get field as integer: <Class>.<Field>") and the like.
  virtual TObject* GetFieldAsObject(std::int32_t index);
  virtual std::int32_t GetFieldAsInteger(std::int32_t index) const;
  virtual void SetFieldAsInteger(std::int32_t index, std::int32_t value);
  virtual std::string GetFieldAsString(std::int32_t index) const;
  virtual void SetFieldAsString(std::int32_t index, const std::string& value);
  virtual double GetFieldAsDouble(std::int32_t index) const;
  virtual void SetFieldAsDouble(std::int32_t index, double value);

  // The payload: every field in index order. Context may be null.
  virtual void SaveFields(TStream& stream, TPacketStreamingContext* context) const;
  // Reads fields while Remaining > 0, decrementing it per field.
  virtual void LoadFields(TStream& stream, std::int32_t& remaining, TPacketStreamingContext* context);
  // The same, parsing in place in a memory stream's content from its
  // position; the position ends behind the last field read.
  virtual void LoadFieldsFromBuffer(TCustomMemoryStream& stream, std::int32_t& remaining,
                                    TPacketStreamingContext* context);

  // Deep copy from Source (same class or a descendant, else EInvalidCast).
  // Assigning a packet to itself changes nothing.
  virtual void Assign(const TPacket& source);
  // Every field back to its default; owned objects stay.
  virtual void Clear();
  // Classes holding OS handles replace them by duplicates; others: nothing.
  virtual void DuplicateHandles(std::uintptr_t source_process, std::uintptr_t target_process);
  // 0: not rendered, 1: one line, 2: several lines.
  virtual std::uint8_t FieldToText(std::int32_t index, std::string& text) const;
  virtual bool Equals(const TPacket& other) const;
  // Callback(Data, index) for each differing field in index order; -1 and
  // False for a packet of another class. True when nothing differs.
  virtual bool CompareFields(const TPacket& other, TFieldDifferenceCallback callback, void* data) const;

  // Class-level data through the instance.
  std::int32_t FieldCount() const { return ClassType().FieldCount(); }
  std::int32_t FieldIndexByName(std::string_view name) const { return ClassType().FieldIndexByName(name); }
  TPacketFieldType FieldType(std::int32_t index) const { return ClassType().FieldType(index); }
  std::string FieldName(std::int32_t index) const { return ClassType().FieldName(index); }
  std::string FieldItemName(std::int32_t index) const { return ClassType().FieldItemName(index); }
  std::string FieldCaption(std::int32_t index) const { return ClassType().FieldCaption(index); }
  std::string FieldItemCaption(std::int32_t index) const { return ClassType().FieldItemCaption(index); }
  const TGUID& GetClassGUID() const { return ClassType().GetClassGUID(); }
  const char* ClassName() const { return ClassType().Name(); }
  bool InheritsFrom(const TPacketClass& cls) const { return ClassType().InheritsFrom(cls); }

  void AssignFrom(const TPacket& source) { Assign(source); }
  // A new instance of the own class with this packet assigned to it.
  std::unique_ptr<TPacket> Clone() const;
  void DumpToStrings(TStrings& strings) const;

 protected:
  // Sets every own default of Cls and counts the instance (generated
  // constructors); the destructor's counterpart.
  void InitializeFields(const TPacketClass& cls);
  // The packets nested in the fields of Cls are freed one after another,
  // not inside each other: a deep tree is freed on any stack.
  void FinalizeFields(const TPacketClass& cls);

 private:
  [[noreturn]] void RaiseFieldError(const char* message, std::int32_t index) const;
};

// A packet base with one 32-bit member that no operation touches; it
// answers TPacket's identity and has no fields.
class TCommPacket : public TPacket {
 public:
  using Self = TCommPacket;
  static const TPacketClass Class;
  const TPacketClass& ClassType() const override { return Class; }

 private:
  [[maybe_unused]] std::uint32_t reserved_ = 0;
};

// ---- Packet lists ---------------------------------------------------------

// Owning, ordered list of packets of one item class.
class TCustomPacketList : public TObject {
 public:
  TCustomPacketList() = default;
  ~TCustomPacketList() override = default;
  TCustomPacketList(const TCustomPacketList&) = delete;
  TCustomPacketList& operator=(const TCustomPacketList&) = delete;

  virtual const TPacketClass& ItemClass() const { return TPacket::Class; }

  // Appends; the list owns the packet from then on. No class check.
  void Add(std::unique_ptr<TPacket> packet);
  // Asserts that the packet's class inherits from ItemClass.
  void AddChecked(std::unique_ptr<TPacket> packet);
  // Appends a clone of each packet of Other (whose item class must inherit
  // from this list's).
  void AddCopies(const TCustomPacketList& other);
  void Assign(const TCustomPacketList& other);
  void Clear() {
    items_.clear();
    to_check_ = 0;
  }
  bool Equals(const TCustomPacketList& other) const;

  std::int32_t Count() const { return static_cast<std::int32_t>(items_.size()); }
  bool IsEmpty() const { return items_.empty(); }
  // Items of classes with compact or nested fields: those a save checks
  // before it writes (CheckBeforeSave).
  std::size_t ItemsToCheck() const { return to_check_; }
  TPacket* GetItem(std::int32_t index) const;

  // UInt32 count, then each packet (stand-alone, or class reference with a
  // context).
  void SaveToStream(TStream& stream, TPacketStreamingContext* context) const;
  // Replaces the content; a packet whose class does not inherit from
  // ItemClass is refused.
  void LoadFromStream(TStream& stream, TPacketStreamingContext* context);
  void DumpToText(std::string& text) const;
  // Moves the packets into Into and leaves the list empty.
  void TakeItems(std::vector<std::unique_ptr<TPacket>>& into);

 private:
  void Counted(const TPacket& packet);
  void DumpItems(std::string& text) const;

  std::vector<std::unique_ptr<TPacket>> items_;
  std::size_t to_check_ = 0;
};

// The list class of item class T (T##List).
template <typename T>
class TPacketList : public TCustomPacketList {
 public:
  const TPacketClass& ItemClass() const override { return T::Class; }
  // The item at Index as T (EInvalidCast when it is of another class).
  T& Items(std::int32_t index) const {
    T* p = dynamic_cast<T*>(GetItem(index));
    if (p == nullptr) throw EInvalidCast();
    return *p;
  }
  T& AddNew() {
    auto p = std::make_unique<T>();
    T& ref = *p;
    Add(std::move(p));
    return ref;
  }
};

// ---- Optional and any-class members ---------------------------------------

// Holder of an optional nested packet; absent after construction.
class TOptionalPacketBase {
 public:
  explicit TOptionalPacketBase(const TPacketClass& cls) : class_(&cls) {}
  TOptionalPacketBase(const TOptionalPacketBase&) = delete;
  TOptionalPacketBase& operator=(const TOptionalPacketBase&) = delete;

  bool Present() const { return packet_ != nullptr; }
  TPacket* Pointer() const { return packet_.get(); }
  const TPacketClass& MemberClass() const { return *class_; }
  // Need: creates the member when absent.
  TPacket& Need();
  // Set: Source null frees the member; else Need, then AssignFrom(Source).
  void Set(const TPacket* source);
  void Free() { packet_.reset(); }
  // The member, which the holder no longer holds.
  std::unique_ptr<TPacket> Take() { return std::move(packet_); }
  // Same: Other null is True exactly when absent; else the member's Equals.
  bool Same(const TPacket* other) const;
  // Get: the member; raises the uninitialized-member error when absent.
  TPacket& Get(const char* owner_class, const char* field) const;

 private:
  const TPacketClass* class_;
  std::unique_ptr<TPacket> packet_;
};

template <typename T>
class TOptionalPacket : public TOptionalPacketBase {
 public:
  TOptionalPacket() : TOptionalPacketBase(T::Class) {}
  T* operator->() const { return static_cast<T*>(Pointer()); }
  T* get() const { return static_cast<T*>(Pointer()); }
};

// The five member operations of an optional field Field of class Self:
// NeedField, SetField, FreeField, SameField, GetField.
#define VT_OPTIONAL_MEMBER(Type, Field)                                                   \
  Type& Need##Field() { return static_cast<Type&>(Field.Need()); }                        \
  void Set##Field(const Type* source) { Field.Set(source); }                              \
  void Free##Field() { Field.Free(); }                                                    \
  bool Same##Field(const Type* other) const { return Field.Same(other); }                 \
  Type& Get##Field() const { return static_cast<Type&>(Field.Get(Class.Name(), #Field)); }

// A member holding a packet of any registered class (a plain TPacket until
// set or loaded), or none after Reset with none. A packet holding none:
// Clear keeps none, Equals and CompareFields take none as a value of its
// own, the dump and GetFieldAsObject show none ("(null)", nullptr), and
// Assign and saving raise the uninitialized-member error; a load gives it
// a packet again.
class TAnyPacket {
 public:
  TAnyPacket() : packet_(std::make_unique<TPacket>()) {}
  TPacket& Get() const { return *packet_; }
  TPacket* Pointer() const { return packet_.get(); }
  void Reset(std::unique_ptr<TPacket> packet) { packet_ = std::move(packet); }
  // The packet, which the member no longer holds (it holds none).
  std::unique_ptr<TPacket> Take() { return std::move(packet_); }

 private:
  std::unique_ptr<TPacket> packet_;
};

// ---- Declaration machinery ------------------------------------------------

namespace packet_detail {

template <typename M>
struct MemberTraits;
template <typename C, typename T>
struct MemberTraits<T C::*> {
  using Class = C;
  using Type = T;
};

template <auto M>
void* MemberAddress(TPacket& packet) {
  using C = typename MemberTraits<decltype(M)>::Class;
  return &(static_cast<C&>(packet).*M);
}

template <typename T>
struct IsByteArray : std::false_type {};
template <std::size_t N>
struct IsByteArray<std::array<std::uint8_t, N>> : std::true_type {};

template <typename T>
constexpr TFieldKind KindOf(int type_code) {
  if constexpr (std::is_same_v<T, std::string>) {
    return TFieldKind::AnsiString;
  } else if constexpr (std::is_same_v<T, std::u16string>) {
    return TFieldKind::WideString;
  } else if constexpr (std::is_same_v<T, ByteBool>) {
    return TFieldKind::Boolean;
  } else if constexpr (std::is_same_v<T, double>) {
    return TFieldKind::Double;
  } else if constexpr (std::is_same_v<T, TGUID>) {
    return TFieldKind::Guid;
  } else if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
    if (type_code == pftOther) return TFieldKind::Bytes;
    constexpr bool s = std::is_signed_v<T>;
    switch (sizeof(T)) {
      case 1: return s ? TFieldKind::Int8 : TFieldKind::UInt8;
      case 2: return s ? TFieldKind::Int16 : TFieldKind::UInt16;
      case 4: return s ? TFieldKind::Int32 : TFieldKind::UInt32;
      default: return s ? TFieldKind::Int64 : TFieldKind::UInt64;
    }
  } else if constexpr (std::is_enum_v<T> || IsByteArray<T>::value) {
    return TFieldKind::Bytes;
  } else if constexpr (std::is_base_of_v<TStrings, T>) {
    return TFieldKind::StringList;
  } else if constexpr (std::is_base_of_v<TMemoryStream, T>) {
    return TFieldKind::Stream;
  } else if constexpr (std::is_base_of_v<TChunkedDataContainer, T>) {
    return TFieldKind::Chunked;
  } else if constexpr (std::is_base_of_v<TIntegerList, T>) {
    return TFieldKind::IntegerList;
  } else if constexpr (std::is_base_of_v<TCustomList, T>) {
    return TFieldKind::TypedList;
  } else if constexpr (std::is_base_of_v<TPacket, T>) {
    return TFieldKind::Packet;
  } else if constexpr (std::is_base_of_v<TOptionalPacketBase, T>) {
    return TFieldKind::OptionalPacket;
  } else if constexpr (std::is_base_of_v<TCustomPacketList, T>) {
    return TFieldKind::PacketList;
  } else if constexpr (std::is_same_v<T, TAnyPacket>) {
    return TFieldKind::AnyPacket;
  } else if constexpr (std::is_trivially_copyable_v<T>) {
    return TFieldKind::Bytes;  // OS record
  } else {
    return TFieldKind::Custom;
  }
}

constexpr bool IsIntegerKind(TFieldKind k) { return k <= TFieldKind::UInt64; }

constexpr std::uint8_t CodeOf(TFieldKind k) {
  if (IsIntegerKind(k)) return pftInteger;
  switch (k) {
    case TFieldKind::Boolean: return pftBoolean;
    case TFieldKind::Double: return pftDouble;
    case TFieldKind::AnsiString:
    case TFieldKind::WideString: return pftString;
    case TFieldKind::Guid:
    case TFieldKind::Bytes: return pftOther;
    default: return pftObject;
  }
}

// Rejects a declaration whose type code or wire form does not fit the member.
constexpr void Check(TFieldKind k, int code, TWireSpec w, std::size_t size) {
  if (w.Form == TWireForm::Custom) {
    if (k != TFieldKind::Custom && code != CodeOf(k)) throw "type code does not match the member type";
    return;
  }
  if (k == TFieldKind::Custom) throw "member type has no standard field kind: give it custom operations";
  if (code != CodeOf(k)) throw "type code does not match the member type";
  bool ok = false;
  switch (w.Form) {
    case TWireForm::Raw:
      ok = (IsIntegerKind(k) || k == TFieldKind::Boolean || k == TFieldKind::Double || k == TFieldKind::Guid ||
            k == TFieldKind::Bytes) &&
           w.Width == size;
      break;
    case TWireForm::Sized: ok = (IsIntegerKind(k) || k == TFieldKind::Bytes) && w.Width == size && size < 256; break;
    case TWireForm::Compact: ok = IsIntegerKind(k) && size <= 4; break;
    case TWireForm::String: ok = k == TFieldKind::AnsiString; break;
    case TWireForm::Wide: ok = k == TFieldKind::WideString; break;
    case TWireForm::StringList: ok = k == TFieldKind::StringList; break;
    case TWireForm::Stream: ok = k == TFieldKind::Stream; break;
    case TWireForm::Chunked: ok = k == TFieldKind::Chunked; break;
    case TWireForm::TypedList: ok = k == TFieldKind::IntegerList || k == TFieldKind::TypedList; break;
    case TWireForm::Packet: ok = k == TFieldKind::Packet || k == TFieldKind::AnyPacket; break;
    case TWireForm::OptionalPacket: ok = k == TFieldKind::OptionalPacket; break;
    case TWireForm::PacketList: ok = k == TFieldKind::PacketList; break;
    case TWireForm::Custom: ok = true; break;
  }
  if (!ok) throw "wire form does not fit the member type";
}

template <auto M>
consteval TPacketField MakeField(const char* name, int type_code, TWireSpec w) {
  using T = typename MemberTraits<decltype(M)>::Type;
  constexpr bool fixed = std::is_trivially_copyable_v<T>;
  constexpr std::size_t size = fixed ? sizeof(T) : 0;
  TFieldKind k = KindOf<T>(type_code);
  Check(k, type_code, w, size);
  TPacketField f;
  f.Name = name;
  f.Kind = k;
  f.Wire = w.Form;
  f.TypeCode = static_cast<std::uint8_t>(type_code);
  f.Width = static_cast<std::uint16_t>(size);
  f.Member = &MemberAddress<M>;
  return f;
}

}  // namespace packet_detail

// Inside the class body: class reference, constructor, destructor.
#define VT_PACKET_CLASS(ClassName, ParentName)                                   \
 public:                                                                         \
  using Self = ClassName;                                                        \
  using inherited = ParentName;                                                  \
  static const ::vt::TPacketField kFields[];                                     \
  static const ::vt::TPacketClass Class;                                         \
  const ::vt::TPacketClass& ClassType() const override { return Class; }         \
  ClassName();                                                                   \
  ~ClassName() override;                                                         \
  void AssignFrom(const ClassName& source) { Assign(source); }                   \
                                                                                 \
 private:

// The field table of a class, in index order.
#define VT_PACKET_FIELDS(ClassName) constinit const ::vt::TPacketField ClassName::kFields[]

// One field: member name, type code (TPacketFieldType), wire form (Raw(n), Sized(n), Compact,
// String, Wide, StringList, Stream, Chunked, IntList, TypedList, Packet,
// OptionalPacket, PacketList, Custom).
#define VT_FIELD(Member, TypeCode, WireForm) \
  ::vt::packet_detail::MakeField<&Self::Member>(#Member, TypeCode, ::vt::wire::WireForm)

// Class reference, constructor and destructor of a declared class.
#define VT_DEFINE_PACKET(ClassName, GuidText)                                                              \
  constinit const ::vt::TPacketClass ClassName::Class{                                                     \
      #ClassName, &ClassName::inherited::Class, ::vt::GuidLiteral(GuidText),                               \
      std::span<const ::vt::TPacketField>(ClassName::kFields),                                             \
      []() -> std::unique_ptr<::vt::TPacket> { return std::make_unique<ClassName>(); }};                   \
  ClassName::ClassName() { InitializeFields(Class); }                                                      \
  ClassName::~ClassName() { FinalizeFields(Class); }

// ---- Registry -------------------------------------------------------------

// Numbers the class (once) and enters its GUID in the registry. A second
// class with a registered GUID fails with "Failed to register packet class:
// <name>" + CR LF + the registry's duplicate message, and stays unnumbered.
void RegisterPacketClass(const TPacketClass& cls);
const TPacketClass* FindPacketClass(const TGUID& guid);
// Every registered class, by class number.
std::vector<const TPacketClass*> RegisteredPacketClasses();
// Asserts that the class is registered.
std::int32_t GetPacketClassNumber(const TPacketClass& cls);
std::int32_t NextPacketClassNumber();

// Whether a load of every field of Cls replaces each whole (no nested
// packets, no custom fields).
bool LoadReplacesEveryField(const TPacketClass& cls);

// What SavePacket checks before it writes: raises when a compact field of
// Packet or of a packet nested in it holds a value outside 0 .. 2^31-1, or
// when packets nest deeper than kMaxPacketNesting or than the thread's
// stack allows a load of them (a load would refuse it).
void CheckBeforeSave(const TPacket& packet);
// "Cannot <Action> packet. Nesting deeper than <kMaxPacketNesting> levels".
[[noreturn, gnu::cold]] void RaiseNestingTooDeep(const char* action);
// "Cannot <Action> packet. Not enough stack left for nesting <Depth> levels
// deep".
[[noreturn, gnu::cold]] void RaiseStackTooSmall(const char* action, int depth);

// "<Class>.<Field>" ("<Class>." out of range).
std::string QualifiedFieldName(const TPacketClass& cls, std::int32_t index);

// ---- Text -----------------------------------------------------------------

using TDumpSink = void (*)(void* data, const std::string& line);
void DumpPacket(const TPacket& packet, TDumpSink sink, void* data);
// Text of an object-valued field: "(null)", "(size = N)" (1), a packet's or
// packet list's dump (2); 0 for other objects.
std::uint8_t StreamFieldToText(const TObject* object, std::string& text);

// ---- Stand-alone form and packet I/O --------------------------------------

// Option flags.
enum : std::uint8_t {
  pioCompressed = 0x01,  // load: the data is a block-compressed container
  pioRetryOpen = 0x02,   // load from file: retry opening for up to 4 s
  pioCompress = 0x04,    // save: write a block-compressed container
  pioBuffered = 0x10,    // save: build in memory, copy in one write
};

constexpr std::uint32_t kPacketFormatVersion = 2;
constexpr std::int64_t kPacketHeaderSize = 32;
// Deepest nesting of packets inside packets (the outermost is level 1) that
// a save writes and a load accepts; far above what documents hold, and
// within what a thread's stack takes.
constexpr int kMaxPacketNesting = 256;
// Stack that nested saves and loads keep in hand: a deep tree on a small
// stack is refused before the stack runs out.
constexpr std::size_t kNestingStackReserve = 64 * 1024;

#pragma pack(push, 1)
struct TPacketHeader {
  std::uint32_t Version;
  std::uint32_t TotalSize;
  std::uint32_t FieldCount;
  std::uint32_t Reserved;
  TGUID ClassGUID;
};
#pragma pack(pop)
static_assert(sizeof(TPacketHeader) == 32);

struct TPacketLoadInfo {
  const TPacketClass* Class = nullptr;
  std::int64_t PayloadSize = -1;  // -1 in the context form
  std::int32_t StoredFieldCount = 0;
  // -1 in the context form; else the stream position at the packet's
  // stated end (over a stream that cannot tell its position, such as a
  // pipe, counted from the header's start).
  std::int64_t PayloadEnd = -1;
};

// Where a failed stand-alone load leaves its stream (a load inside another
// packet's load leaves that to the outer one), so that a reader that logs
// the failure and goes on always moves forward and ends:
// - at the packet's stated end when the header is whole and that end lies
//   within the stream (the class is unknown or not the one expected, the
//   object cannot be made, a field cannot be read);
// - else behind the 32 header bytes, or at the stream's end when that comes
//   first: an unknown format version, a size under 32, a stated end past
//   the stream's end (raised as EReadError before the class is looked up,
//   over every stream that tells its size), a header cut short.
// A stream that cannot tell its size (a pipe, a socket) is read on to the
// stated end only when the payload is at most 16 MiB; else it is left
// behind what was read, since that size cannot be checked without waiting
// for the writer and swallowing what follows. There, a header of a known
// class that states more than was written reads what follows as fields.

void SavePacket(const TPacket& packet, TStream& stream, TPacketStreamingContext* context = nullptr,
                std::uint8_t flags = 0);
// A new packet of the class the stream names; the caller owns it. Nothing
// is left behind when the load fails.
std::unique_ptr<TPacket> LoadPacket(TStream& stream, TPacketStreamingContext* context = nullptr,
                                    std::uint8_t flags = 0);
// LoadPacket that fills Spare instead of a new instance when the stored
// packet is of Spare's very class, stores every field of it, and a load
// replaces each of them whole (no nested packets, no custom fields):
// packet lists load over their items this way. Otherwise Spare is freed.
std::unique_ptr<TPacket> LoadPacketOver(std::unique_ptr<TPacket> spare, TStream& stream,
                                        TPacketStreamingContext* context);
// Reads into Packet; the stored class must be Packet's class.
void LoadPacketInto(TPacket& packet, TStream& stream, TPacketStreamingContext* context = nullptr,
                    std::uint8_t flags = 0);
// Opens FileName as a mapped file (read access, others may read but not
// write; retried for 4 s with pioRetryOpen; anything but a regular file is
// refused at once) and loads it into Packet with the same flags. Failures
// raise "Failed to load packet <Class> from file <FileName>" + CR LF + the
// cause.
void LoadPacketFromFile(TPacket& packet, const std::string& file_name, std::uint8_t flags = 0);
void ReadPacketHeader(TStream& stream, TPacketStreamingContext* context, const TPacketClass* expected,
                      TPacketLoadInfo& info);
void ReadPacketFields(TPacket& packet, TStream& stream, TPacketStreamingContext* context,
                      const TPacketLoadInfo& info);
[[noreturn]] void RaiseIncompatiblePacketClass(const TGUID& found, const TPacketClass* expected);

// ---- Unit -----------------------------------------------------------------

// The packets unit: registers TPacket (class number 1), frees the registry.
extern const UnitEntry kPacketsUnit;

}  // namespace vt
