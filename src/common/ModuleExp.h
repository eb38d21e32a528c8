// Read and limited write access to the headers of a PE32 or PE32+ image:
// a module of this process or an executable file.
//
// Every offset and size read from the image is checked against the image's
// size: a truncated or crafted image raises the header messages, never reads
// outside the image. A mapped file cut short under the explorer raises the
// in-page error (see CopyFileView) at the next read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/Classes.h"
#include "platform/Modules.h"

namespace vt {

class TVirtualStream;
class TModuleExplorer;

// Optional-header fields whose offsets or widths differ between formats.
// All accessors are bounded by the optional header's size.
class TPEFormatStrategy {
 public:
  TPEFormatStrategy(std::uint8_t* optional_header, std::uint32_t size) : header_(optional_header), size_(size) {}
  virtual ~TPEFormatStrategy() = default;

  virtual std::uint32_t FileAlignment() const;
  virtual std::int64_t ImageBase() const = 0;
  virtual std::uint32_t SectionAlignment() const;
  virtual std::uint32_t SizeOfHeaders() const;
  virtual std::uint32_t SizeOfImage() const;
  virtual std::uint16_t Subsystem() const;
  virtual std::uint32_t CheckSum() const;
  virtual void SetCheckSum(std::uint32_t value);
  virtual void SetSizeOfImage(std::uint32_t value);
  virtual void SetSubsystem(std::uint16_t value);
  // Entry Index of the data directory (VirtualAddress, Size), or nullptr
  // when Index is not below the directory count or lies past the header.
  virtual std::uint8_t* DataDirectory(std::uint32_t index) const = 0;
  virtual std::uint32_t ThunkValue(const void* thunk) const = 0;
  virtual bool ThunkIsByName(const void* thunk) const = 0;
  virtual bool ThunkIsNonZero(const void* thunk) const = 0;
  virtual const void* NextThunk(const void* thunk) const = 0;
  virtual void StoreAddress(void* target, std::int32_t offset, std::int64_t base) const = 0;

  std::uint8_t* OptionalHeader() const { return header_; }

 protected:
  std::uint32_t Get32(std::uint32_t offset) const;
  std::uint16_t Get16(std::uint32_t offset) const;
  void Put32(std::uint32_t offset, std::uint32_t value);
  void Put16(std::uint32_t offset, std::uint16_t value);
  std::uint8_t* DirectoryEntry(std::uint32_t count_offset, std::uint32_t array_offset, std::uint32_t index) const;

 private:
  std::uint8_t* header_;
  std::uint32_t size_;
};

class TPE32Format : public TPEFormatStrategy {
 public:
  using TPEFormatStrategy::TPEFormatStrategy;
  std::int64_t ImageBase() const override;
  std::uint8_t* DataDirectory(std::uint32_t index) const override;
  std::uint32_t ThunkValue(const void* thunk) const override;
  bool ThunkIsByName(const void* thunk) const override;
  bool ThunkIsNonZero(const void* thunk) const override;
  const void* NextThunk(const void* thunk) const override;
  void StoreAddress(void* target, std::int32_t offset, std::int64_t base) const override;
};

class TPE32PlusFormat : public TPEFormatStrategy {
 public:
  using TPEFormatStrategy::TPEFormatStrategy;
  std::int64_t ImageBase() const override;
  std::uint8_t* DataDirectory(std::uint32_t index) const override;
  std::uint32_t ThunkValue(const void* thunk) const override;
  bool ThunkIsByName(const void* thunk) const override;
  bool ThunkIsNonZero(const void* thunk) const override;
  const void* NextThunk(const void* thunk) const override;
  void StoreAddress(void* target, std::int32_t offset, std::int64_t base) const override;
};

// Turns relative virtual addresses into pointers, for an image laid out as
// loaded or as stored in its file. Answers nullptr for addresses outside.
class TPEImageSearchStrategy {
 public:
  explicit TPEImageSearchStrategy(TModuleExplorer& owner) : owner_(owner) {}
  virtual ~TPEImageSearchStrategy() = default;
  virtual std::uint8_t* RvaToPointer(std::uint32_t rva) = 0;
  virtual std::uint8_t* DirectoryPointer(std::uint32_t index, const std::uint8_t* entry);

 protected:
  TModuleExplorer& owner_;
};

class TOSLoadedPESearchStrategy : public TPEImageSearchStrategy {
 public:
  using TPEImageSearchStrategy::TPEImageSearchStrategy;
  std::uint8_t* RvaToPointer(std::uint32_t rva) override;
};

class TInMemoryPESearchStrategy : public TPEImageSearchStrategy {
 public:
  using TPEImageSearchStrategy::TPEImageSearchStrategy;
  std::uint8_t* RvaToPointer(std::uint32_t rva) override;
  std::uint8_t* DirectoryPointer(std::uint32_t index, const std::uint8_t* entry) override;

 private:
  std::uint32_t known_ = 0;
  std::uint8_t* remembered_[32] = {};
};

class TModuleExplorer {
 public:
  enum Modes : std::uint8_t { kModeLoaded = 0, kModeMapped = 1, kModeFileRead = 2 };

  // Explorer over a module of this process (its handle; nullptr is the
  // program itself, whose header image the packaging tool carries). With
  // RaiseErrors a header error is raised with "Invalid module at base
  // address 0x%x" before its message; without it Invalid is set.
  TModuleExplorer(os::HMODULE module, bool raise_errors);
  // Explorer over a file, in mode 0, 1 or 2.
  TModuleExplorer(const std::string& file_name, std::uint8_t mode);
  ~TModuleExplorer();
  TModuleExplorer(const TModuleExplorer&) = delete;
  TModuleExplorer& operator=(const TModuleExplorer&) = delete;

  // True when the program's own image says console subsystem (3).
  static bool IsConsoleSubsystem();

  // Sets Subsystem to 3 in the image held in memory; a read-only image
  // (mode 1, or a module of this process) raises instead.
  void SetConsoleSubsystem();
  // Mode 2 only: writes the whole image to a new file.
  void SaveToFile(const std::string& file_name);

  std::uint8_t* ExportDirectory();
  std::uint8_t* DirectoryData(std::uint32_t index, std::uint32_t min_size, std::uint32_t* size = nullptr);

  std::uint8_t* Image() const { return image_; }
  std::uint64_t ImageSize() const { return image_size_; }
  bool Invalid() const { return invalid_; }
  std::uint8_t Mode() const { return mode_; }
  bool OwnsMapping() const { return owns_mapping_; }
  TPEFormatStrategy& Format() const { return *format_; }
  TPEImageSearchStrategy& Search() const { return *search_; }
  std::uint8_t* FileHeader() const { return file_header_; }
  std::uint8_t* Sections() const { return sections_; }
  std::uint16_t NumberOfSections() const { return section_count_; }
  std::uint32_t ExportDirectoryRva() const { return export_rva_; }
  std::uint32_t ExportDirectorySize() const { return export_size_; }
  std::uint8_t* ExportFunctions() const { return export_functions_; }
  std::uint8_t* ExportNames() const { return export_names_; }
  std::uint8_t* ExportNameOrdinals() const { return export_name_ordinals_; }
  std::uint64_t FileTime() const { return file_time_; }

  // True when [p, p + n) lies inside the image.
  bool Contains(const void* p, std::uint64_t n) const;

 private:
  void LoadFile(const std::string& file_name, std::uint8_t mode);
  void ReleaseMapping();
  void ParseHeaders();
  void LayOutAsLoaded(TModuleExplorer& source);
  [[noreturn]] void RaiseHeader(const char* message) const;

  std::uint8_t* image_ = nullptr;
  std::uint64_t image_size_ = 0;
  bool invalid_ = false;
  std::uint8_t mode_ = kModeLoaded;
  bool owns_mapping_ = false;
  std::unique_ptr<TVirtualStream> buffer_;
  std::unique_ptr<TPEFormatStrategy> format_;
  std::unique_ptr<TPEImageSearchStrategy> search_;
  std::uint8_t* file_header_ = nullptr;
  std::uint8_t* sections_ = nullptr;
  std::uint16_t section_count_ = 0;
  std::uint32_t export_rva_ = 0;
  std::uint32_t export_size_ = 0;
  std::uint8_t* export_functions_ = nullptr;
  std::uint8_t* export_names_ = nullptr;
  std::uint8_t* export_name_ordinals_ = nullptr;
  std::uint64_t file_time_ = 0;
};

}  // namespace vt
