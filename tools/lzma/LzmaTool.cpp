// vt_lzma: LZMA-alone coder.
//   vt_lzma d <input> <output>   decode; exit code 0 on success
//   vt_lzma e <input> <output>   encode: properties 5D, 8 MiB dictionary,
//                                the decoded size in the header, no end marker
// Any failure exits with a non-zero code and removes the partial output: 112
// (the Windows code for a full disk) when the disk or quota filled up, else 1.
#include <lzma.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/LastError.h"

namespace {

constexpr std::uint64_t kMemoryLimit = 256u << 20;  // bounds the dictionary a header may ask for
constexpr std::uint32_t kDictionarySize = 8u << 20;
constexpr std::size_t kBufferSize = 1u << 16;

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool g_disk_full = false;

bool Fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "vt_lzma: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
  return false;
}

bool WriteFailed(const char* what, const std::string& detail = {}) {
  if (errno == ENOSPC || errno == EDQUOT) g_disk_full = true;
  return Fail(g_disk_full ? "disk full" : what, detail);
}

const char* LzmaText(lzma_ret r) {
  switch (r) {
    case LZMA_MEM_ERROR: return vt::os::kNotEnoughMemoryText;
    case LZMA_MEMLIMIT_ERROR: return "dictionary too large";
    case LZMA_FORMAT_ERROR: return "not an LZMA-alone stream";
    case LZMA_OPTIONS_ERROR: return "unsupported options";
    case LZMA_DATA_ERROR: return "corrupt data";
    case LZMA_BUF_ERROR: return "unexpected end of input";
    default: return "coder error";
  }
}

// Runs the coder from in to out until the stream ends.
bool Pump(lzma_stream& strm, std::FILE* in, std::FILE* out, bool input_may_trail) {
  std::vector<std::uint8_t> inbuf(kBufferSize), outbuf(kBufferSize);
  lzma_action action = LZMA_RUN;
  strm.next_out = outbuf.data();
  strm.avail_out = outbuf.size();
  for (;;) {
    if (strm.avail_in == 0 && action == LZMA_RUN) {
      strm.next_in = inbuf.data();
      strm.avail_in = std::fread(inbuf.data(), 1, inbuf.size(), in);
      if (std::ferror(in)) return Fail("read error");
      if (std::feof(in)) action = LZMA_FINISH;
    }
    const lzma_ret r = lzma_code(&strm, action);
    if (strm.avail_out == 0 || r == LZMA_STREAM_END) {
      const std::size_t n = outbuf.size() - strm.avail_out;
      if (n && std::fwrite(outbuf.data(), 1, n, out) != n) return WriteFailed("write error");
      strm.next_out = outbuf.data();
      strm.avail_out = outbuf.size();
    }
    if (r == LZMA_STREAM_END) return input_may_trail || (strm.avail_in == 0 && action == LZMA_FINISH) ||
                                      Fail("trailing data");
    if (r != LZMA_OK) return Fail(LzmaText(r));
  }
}

bool Decode(std::FILE* in, std::FILE* out) {
  lzma_stream strm = LZMA_STREAM_INIT;
  lzma_ret r = lzma_alone_decoder(&strm, kMemoryLimit);
  if (r != LZMA_OK) return Fail(LzmaText(r));
  const bool ok = Pump(strm, in, out, true);
  lzma_end(&strm);
  return ok;
}

bool Encode(std::FILE* in, std::FILE* out, std::uint64_t size) {
  std::uint8_t header[13];
  header[0] = 0x5D;  // lc 3, lp 0, pb 2
  for (int i = 0; i < 4; ++i) header[1 + i] = static_cast<std::uint8_t>(kDictionarySize >> (8 * i));
  for (int i = 0; i < 8; ++i) header[5 + i] = static_cast<std::uint8_t>(size >> (8 * i));
  if (std::fwrite(header, 1, sizeof header, out) != sizeof header) return Fail("write error");

  lzma_options_lzma opt;
  if (lzma_lzma_preset(&opt, 6)) return Fail("unsupported options");
  opt.dict_size = kDictionarySize;
  opt.lc = 3;
  opt.lp = 0;
  opt.pb = 2;
  opt.ext_flags = 0;  // no end marker: the header holds the size
  opt.ext_size_low = static_cast<std::uint32_t>(size);
  opt.ext_size_high = static_cast<std::uint32_t>(size >> 32);
  lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream strm = LZMA_STREAM_INIT;
  lzma_ret r = lzma_raw_encoder(&strm, filters);
  if (r != LZMA_OK) return Fail(LzmaText(r));
  bool ok = Pump(strm, in, out, false);
  if (ok && strm.total_in != size) ok = Fail("input changed while it was read");
  lzma_end(&strm);
  return ok;
}

int Usage() {
  std::fprintf(stderr, "usage: vt_lzma d|e <input> <output>\n");
  return 2;
}

int Run(int argc, char** argv) {
  if (argc != 4) return Usage();
  const std::string mode = argv[1];
  if (mode != "d" && mode != "e") return Usage();
  const char* input = argv[2];
  const char* output = argv[3];

  File in(std::fopen(input, "rb"));
  if (!in) return Fail("cannot open input", input), 1;
  std::error_code ec;
  std::uint64_t size = 0;
  if (mode == "e") {
    size = std::filesystem::file_size(input, ec);
    if (ec) return Fail("cannot read input size", input), 1;
  }
  File out(std::fopen(output, "wb"));
  if (!out) return Fail("cannot create output", output), 1;

  bool ok = false;
  try {
    ok = mode == "d" ? Decode(in.get(), out.get()) : Encode(in.get(), out.get(), size);
  } catch (const std::bad_alloc&) {
    Fail(vt::os::kNotEnoughMemoryText);
  }
  if (std::fclose(out.release()) != 0 && ok) ok = WriteFailed("write error", output);
  if (!ok) {
    std::filesystem::remove(output, ec);
    return g_disk_full ? 112 : 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    Fail(vt::os::kNotEnoughMemoryText);
    return 1;
  }
}
