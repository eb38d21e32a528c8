#include "common/ModuleExp.h"

#include <algorithm>
#include <cstring>

#include "common/ExceptionHooks.h"
#include "common/FileStreams.h"
#include "common/Objects.h"
#include "common/StreamUtils.h"
#include "platform/ModuleNames.h"
#include "platform/Resources.h"

namespace vt {

namespace {

constexpr std::uint16_t kDosSignature = 0x5A4D;    // "MZ"
constexpr std::uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t kMagicPE32 = 0x10B;
constexpr std::uint16_t kMagicPE32Plus = 0x20B;
constexpr std::uint32_t kMinOptionalHeader = 70;  // up to and including Subsystem
constexpr std::uint32_t kSectionHeaderSize = 40;
constexpr std::uint32_t kExportDirectorySize = 40;
// A file-layout image is laid out as loaded only up to this size.
constexpr std::uint64_t kMaxLoadedImage = 256ull << 20;

// Fields are read through CopyFileView: the file under a mapped image may be
// cut short while it is explored.
std::uint16_t Word16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t Word32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t Load16(const std::uint8_t* p) {
  std::uint8_t b[2];
  CopyFileView(b, p, sizeof b);
  return Word16(b);
}
std::uint32_t Load32(const std::uint8_t* p) {
  std::uint8_t b[4];
  CopyFileView(b, p, sizeof b);
  return Word32(b);
}
std::uint64_t Load64(const std::uint8_t* p) { return Load32(p) | static_cast<std::uint64_t>(Load32(p + 4)) << 32; }
void Store16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Store32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Store64(std::uint8_t* p, std::uint64_t v) {
  Store32(p, static_cast<std::uint32_t>(v));
  Store32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

// Section header fields.
struct Section {
  std::uint32_t virtual_size, virtual_address, size_of_raw_data, pointer_to_raw_data;
};
Section ReadSection(const std::uint8_t* h) {
  std::uint8_t b[kSectionHeaderSize];
  CopyFileView(b, h, sizeof b);
  return {Word32(b + 8), Word32(b + 12), Word32(b + 16), Word32(b + 20)};
}

}  // namespace

// ---- format strategies ----

std::uint32_t TPEFormatStrategy::Get32(std::uint32_t offset) const {
  return offset + 4 <= size_ ? Load32(header_ + offset) : 0;
}
std::uint16_t TPEFormatStrategy::Get16(std::uint32_t offset) const {
  return offset + 2 <= size_ ? Load16(header_ + offset) : 0;
}
void TPEFormatStrategy::Put32(std::uint32_t offset, std::uint32_t value) {
  if (offset + 4 <= size_) Store32(header_ + offset, value);
}
void TPEFormatStrategy::Put16(std::uint32_t offset, std::uint16_t value) {
  if (offset + 2 <= size_) Store16(header_ + offset, value);
}
std::uint8_t* TPEFormatStrategy::DirectoryEntry(std::uint32_t count_offset, std::uint32_t array_offset,
                                                std::uint32_t index) const {
  if (index >= Get32(count_offset)) return nullptr;
  std::uint64_t end = array_offset + (static_cast<std::uint64_t>(index) + 1) * 8;
  if (end > size_) return nullptr;
  return header_ + array_offset + static_cast<std::uint64_t>(index) * 8;
}

std::uint32_t TPEFormatStrategy::FileAlignment() const { return Get32(36); }
std::uint32_t TPEFormatStrategy::SectionAlignment() const { return Get32(32); }
std::uint32_t TPEFormatStrategy::SizeOfHeaders() const { return Get32(60); }
std::uint32_t TPEFormatStrategy::SizeOfImage() const { return Get32(56); }
std::uint16_t TPEFormatStrategy::Subsystem() const { return Get16(68); }
std::uint32_t TPEFormatStrategy::CheckSum() const { return Get32(64); }
void TPEFormatStrategy::SetCheckSum(std::uint32_t value) { Put32(64, value); }
void TPEFormatStrategy::SetSizeOfImage(std::uint32_t value) { Put32(56, value); }
void TPEFormatStrategy::SetSubsystem(std::uint16_t value) { Put16(68, value); }

std::int64_t TPE32Format::ImageBase() const { return Get32(28); }
std::uint8_t* TPE32Format::DataDirectory(std::uint32_t index) const { return DirectoryEntry(92, 96, index); }
std::uint32_t TPE32Format::ThunkValue(const void* thunk) const { return Load32(static_cast<const std::uint8_t*>(thunk)); }
bool TPE32Format::ThunkIsByName(const void* thunk) const { return (ThunkValue(thunk) & 0x80000000u) == 0; }
bool TPE32Format::ThunkIsNonZero(const void* thunk) const { return ThunkValue(thunk) != 0; }
const void* TPE32Format::NextThunk(const void* thunk) const { return static_cast<const std::uint8_t*>(thunk) + 4; }
void TPE32Format::StoreAddress(void* target, std::int32_t offset, std::int64_t base) const {
  Store32(static_cast<std::uint8_t*>(target), static_cast<std::uint32_t>(offset) + static_cast<std::uint32_t>(base));
}

std::int64_t TPE32PlusFormat::ImageBase() const {
  return Get32(24) | static_cast<std::int64_t>(static_cast<std::uint64_t>(Get32(28)) << 32);
}
std::uint8_t* TPE32PlusFormat::DataDirectory(std::uint32_t index) const { return DirectoryEntry(108, 112, index); }
std::uint32_t TPE32PlusFormat::ThunkValue(const void* thunk) const {
  return static_cast<std::uint32_t>(Load64(static_cast<const std::uint8_t*>(thunk)));
}
bool TPE32PlusFormat::ThunkIsByName(const void* thunk) const {
  return (Load64(static_cast<const std::uint8_t*>(thunk)) >> 63) == 0;
}
bool TPE32PlusFormat::ThunkIsNonZero(const void* thunk) const {
  return Load64(static_cast<const std::uint8_t*>(thunk)) != 0;
}
const void* TPE32PlusFormat::NextThunk(const void* thunk) const { return static_cast<const std::uint8_t*>(thunk) + 8; }
void TPE32PlusFormat::StoreAddress(void* target, std::int32_t offset, std::int64_t base) const {
  Store64(static_cast<std::uint8_t*>(target), static_cast<std::uint64_t>(static_cast<std::int64_t>(offset) + base));
}

// ---- search strategies ----

std::uint8_t* TPEImageSearchStrategy::DirectoryPointer(std::uint32_t, const std::uint8_t* entry) {
  return RvaToPointer(Load32(entry));
}

std::uint8_t* TOSLoadedPESearchStrategy::RvaToPointer(std::uint32_t rva) {
  if (rva >= owner_.ImageSize()) return nullptr;
  return owner_.Image() + rva;
}

std::uint8_t* TInMemoryPESearchStrategy::RvaToPointer(std::uint32_t rva) {
  const std::uint8_t* h = owner_.Sections();
  for (std::uint16_t i = 0; i < owner_.NumberOfSections(); ++i, h += kSectionHeaderSize) {
    Section s = ReadSection(h);
    if (rva - s.virtual_address < s.virtual_size) {
      std::uint64_t offset = static_cast<std::uint64_t>(rva - s.virtual_address) + s.pointer_to_raw_data;
      return offset < owner_.ImageSize() ? owner_.Image() + offset : nullptr;
    }
  }
  return nullptr;
}

std::uint8_t* TInMemoryPESearchStrategy::DirectoryPointer(std::uint32_t index, const std::uint8_t* entry) {
  if (index >= 32) return RvaToPointer(Load32(entry));
  if ((known_ & (1u << index)) == 0) {
    remembered_[index] = RvaToPointer(Load32(entry));
    known_ |= 1u << index;
  }
  return remembered_[index];
}

// ---- explorer ----

TModuleExplorer::TModuleExplorer(os::HMODULE module, bool raise_errors) {
  try {
    std::size_t size = 0;
    // The header image is mapped read-only: it is read, never rewritten.
    image_ = static_cast<std::uint8_t*>(const_cast<void*>(os::GetModuleImage(module, &size)));
    image_size_ = image_ != nullptr ? size : 0;
    mode_ = kModeLoaded;
    ParseHeaders();
  } catch (...) {
    if (!raise_errors) {
      invalid_ = true;
      return;
    }
    ReraiseWithContext("Invalid module at base address 0x%x", {FormatArg(reinterpret_cast<std::uintptr_t>(module))});
  }
}

TModuleExplorer::TModuleExplorer(const std::string& file_name, std::uint8_t mode) {
  try {
    LoadFile(file_name, mode);
  } catch (...) {
    ReleaseMapping();
    ReraiseWithContext("Failed to load image from file: %s", {FormatArg(file_name)});
  }
}

TModuleExplorer::~TModuleExplorer() { ReleaseMapping(); }

void TModuleExplorer::ReleaseMapping() {
  if (owns_mapping_ && image_ != nullptr) UnmapViewAndNil(reinterpret_cast<void*&>(image_));
  owns_mapping_ = false;
}

void TModuleExplorer::LoadFile(const std::string& file_name, std::uint8_t mode) {
  switch (mode) {
    case kModeFileRead: {
      buffer_ = std::make_unique<TVirtualStream>(0);
      TMappedFileStream file(file_name, 0x20, 0, 8);
      std::int64_t size = file.Size();
      buffer_->SetSize(size);
      if (size > 0) file.ReadBuffer(buffer_->Memory(), size);
      file_time_ = file.LastWriteTime();
      image_ = static_cast<std::uint8_t*>(buffer_->Memory());
      image_size_ = static_cast<std::uint64_t>(size);
      break;
    }
    case kModeMapped: {
      std::int64_t size = 0;
      image_ = static_cast<std::uint8_t*>(MapWholeFile(file_name, 0, size));
      owns_mapping_ = image_ != nullptr;
      image_size_ = static_cast<std::uint64_t>(size);
      break;
    }
    case kModeLoaded: {
      TModuleExplorer source(file_name, kModeMapped);
      LayOutAsLoaded(source);
      break;
    }
    default:
      throw Exception(vt::Format("Unknown image load mode %d", mode));
  }
  mode_ = mode;
  owns_mapping_ = mode == kModeMapped;
  ParseHeaders();
}

void TModuleExplorer::LayOutAsLoaded(TModuleExplorer& source) {
  auto work_owner = std::make_unique<TVirtualStream>(0);
  TVirtualStream& work = *work_owner;
  auto grow_to = [&work](std::uint64_t size) {
    const auto old = static_cast<std::uint64_t>(work.Size());
    if (old >= size) return;
    work.SetSize(static_cast<std::int64_t>(size));
    std::memset(static_cast<std::uint8_t*>(work.Memory()) + old, 0, static_cast<std::size_t>(size - old));
  };
  const std::uint32_t headers = source.Format().SizeOfHeaders();
  if (headers > source.ImageSize() || headers > kMaxLoadedImage) source.RaiseHeader("Invalid module NT header at 0x%p");
  grow_to(headers);
  CopyFileView(work.Memory(), source.Image(), headers);
  // Sections may all point at the same raw bytes: the bytes copied in all
  // are held to what an image can hold, not only the image's size.
  std::uint64_t copied = headers;
  const std::uint8_t* h = source.Sections();
  for (std::uint16_t i = 0; i < source.NumberOfSections(); ++i, h += kSectionHeaderSize) {
    Section s = ReadSection(h);
    const std::uint64_t end = static_cast<std::uint64_t>(s.virtual_address) + s.virtual_size;
    const std::uint64_t raw_to = static_cast<std::uint64_t>(s.virtual_address) + s.size_of_raw_data;
    const std::uint64_t raw_end = static_cast<std::uint64_t>(s.pointer_to_raw_data) + s.size_of_raw_data;
    copied += s.size_of_raw_data;
    if (end > kMaxLoadedImage || raw_to > kMaxLoadedImage || raw_end > source.ImageSize() ||
        copied > kMaxLoadedImage)
      source.RaiseHeader("Invalid module NT header at 0x%p");
    grow_to(std::max(end, raw_to));
    CopyFileView(static_cast<std::uint8_t*>(work.Memory()) + s.virtual_address,
                 source.Image() + s.pointer_to_raw_data, s.size_of_raw_data);
  }
  // The work stream becomes the image buffer: no second copy.
  buffer_ = std::move(work_owner);
  image_ = static_cast<std::uint8_t*>(buffer_->Memory());
  image_size_ = static_cast<std::uint64_t>(buffer_->Size());
}

void TModuleExplorer::RaiseHeader(const char* message) const {
  throw Exception(vt::Format(message, static_cast<const void*>(image_)));
}

bool TModuleExplorer::Contains(const void* p, std::uint64_t n) const {
  auto a = reinterpret_cast<std::uintptr_t>(p), base = reinterpret_cast<std::uintptr_t>(image_);
  return image_ != nullptr && a >= base && a - base <= image_size_ && n <= image_size_ - (a - base);
}

void TModuleExplorer::ParseHeaders() {
  if (image_ == nullptr || image_size_ < 64 || Load16(image_) != kDosSignature)
    RaiseHeader("Invalid module DOS header at 0x%p");
  const std::int32_t nt_offset = static_cast<std::int32_t>(Load32(image_ + 60));
  if (nt_offset < 0 || static_cast<std::uint64_t>(nt_offset) + 24 > image_size_ ||
      Load32(image_ + nt_offset) != kNtSignature)
    RaiseHeader("Invalid module NT header at 0x%p");
  std::uint8_t* nt = image_ + nt_offset;
  format_.reset();
  const std::uint16_t optional_size = Load16(nt + 20);
  std::uint8_t* optional = nt + 24;
  if (!Contains(optional, 2)) RaiseHeader("Invalid module NT header at 0x%p");
  const std::uint16_t magic = Load16(optional);
  if (magic != kMagicPE32 && magic != kMagicPE32Plus) RaiseHeader("Unknown format of module at 0x%p");
  if (optional_size < kMinOptionalHeader || !Contains(optional, optional_size))
    RaiseHeader("Invalid module NT header at 0x%p");
  if (magic == kMagicPE32)
    format_ = std::make_unique<TPE32Format>(optional, optional_size);
  else
    format_ = std::make_unique<TPE32PlusFormat>(optional, optional_size);
  file_header_ = nt + 4;
  section_count_ = Load16(file_header_ + 2);
  sections_ = optional + optional_size;
  if (!Contains(sections_, static_cast<std::uint64_t>(section_count_) * kSectionHeaderSize))
    RaiseHeader("Invalid module NT header at 0x%p");
  search_.reset();
  if (mode_ == kModeLoaded)
    search_ = std::make_unique<TOSLoadedPESearchStrategy>(*this);
  else
    search_ = std::make_unique<TInMemoryPESearchStrategy>(*this);

  export_functions_ = export_names_ = export_name_ordinals_ = nullptr;
  export_rva_ = export_size_ = 0;
  if (std::uint8_t* dir = ExportDirectory()) {
    const std::uint32_t function_count = Load32(dir + 20), name_count = Load32(dir + 24);
    auto array = [&](std::uint32_t rva, std::uint64_t bytes) -> std::uint8_t* {
      std::uint8_t* p = search_->RvaToPointer(rva);
      return p != nullptr && Contains(p, bytes) ? p : nullptr;
    };
    export_names_ = array(Load32(dir + 32), static_cast<std::uint64_t>(name_count) * 4);
    export_name_ordinals_ = array(Load32(dir + 36), static_cast<std::uint64_t>(name_count) * 2);
    export_functions_ = array(Load32(dir + 28), static_cast<std::uint64_t>(function_count) * 4);
    const std::uint8_t* entry = format_->DataDirectory(0);
    export_rva_ = Load32(entry);
    export_size_ = Load32(entry + 4);
  }
}

std::uint8_t* TModuleExplorer::ExportDirectory() { return DirectoryData(0, kExportDirectorySize); }

std::uint8_t* TModuleExplorer::DirectoryData(std::uint32_t index, std::uint32_t min_size, std::uint32_t* size) {
  std::uint8_t* entry = format_ ? format_->DataDirectory(index) : nullptr;
  if (entry == nullptr) return nullptr;
  const std::uint32_t entry_size = Load32(entry + 4);
  if (size != nullptr) *size = entry_size;
  if (Load32(entry) == 0 || entry_size < min_size) return nullptr;
  std::uint8_t* p = search_->DirectoryPointer(index, entry);
  return p != nullptr && Contains(p, min_size) ? p : nullptr;
}

bool TModuleExplorer::IsConsoleSubsystem() {
  TModuleExplorer own(os::GetModuleHandle(""), true);
  return own.Format().Subsystem() == 3;
}

void TModuleExplorer::SetConsoleSubsystem() {
  // A mapped file and a module's header image are read-only memory.
  if (buffer_ == nullptr) throw Exception(vt::Format("Cannot change read-only image at 0x%p", static_cast<const void*>(image_)));
  format_->SetSubsystem(3);
}

void TModuleExplorer::SaveToFile(const std::string& file_name) {
  VT_ASSERT_AT(mode_ == kModeFileRead, "ModuleExp", 1136);
  SaveStreamToFile(*buffer_, file_name, 0, 0);
}

}  // namespace vt
