// PNG texts and chunks against memory: what the writer writes the reader
// keeps, and what a file makes the reader hold stays in proportion to the
// file.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <random>

#include "SkinTestSupport.h"

// Sanitized builds reserve far more address space than an address-space
// limit leaves.
#if defined(__SANITIZE_ADDRESS__)
#define VT_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VT_TEST_SANITIZED 1
#endif
#endif

namespace vt {
namespace {

std::string Deflated(const std::string& raw, int level = 9) {
  uLongf n = compressBound(static_cast<uLong>(raw.size()));
  std::string out(n, '\0');
  EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(raw.data()),
                      static_cast<uLong>(raw.size()), level),
            Z_OK);
  out.resize(n);
  return out;
}

// A 1 x 1 grey image with the given chunks before its image data.
std::string PngWith(const std::string& chunks) {
  return test::kPngSignature + test::Chunk("IHDR", test::IhdrData(1, 1, 8, 0)) + chunks +
         test::Chunk("IDAT", Deflated(std::string(2, '\0'))) + test::Chunk("IEND", "");
}

std::size_t AddressSpace() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  unsigned long pages = 0;
  if (f) {
    if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  return pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// Loads the file in a child whose address space may grow by `allowance`
// bytes; its exit code: 0 loaded, 1 out of memory, 2 refused.
int LoadWithin(const std::string& file, std::size_t allowance) {
  TMemoryStream in;
  in.WriteBuffer(file.data(), static_cast<std::int64_t>(file.size()));
  const pid_t pid = ::fork();
  if (pid == 0) {
    const rlimit limit{AddressSpace() + allowance, AddressSpace() + allowance};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(3);
    int code = 0;
    try {
      in.SetPosition(0);
      TspPngImage image;
      image.LoadFromStream(in);
    } catch (const std::bad_alloc&) {
      code = 1;
    } catch (const Exception&) {
      code = 2;
    }
    ::_exit(code);
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

class PngLimitsTest : public ::testing::Test {
 protected:
  void SetUp() override { test::EnsureSkinUnits(); }
};

// Memory on reading stays in proportion to the file: texts that inflate a
// thousandfold, and a million empty chunks.
TEST_F(PngLimitsTest, MemoryStaysInProportionToTheFile) {
#ifdef VT_TEST_SANITIZED
  GTEST_SKIP() << "an address-space limit does not hold under the sanitizers";
#endif
  // 1000 chunks of about 1 KB, each 1 MiB of text: a file of 1 MB.
  const std::string bomb = test::Chunk("zTXt", std::string("K\0\0", 3) + Deflated(std::string(1 << 20, ' ')));
  std::string texts;
  for (int i = 0; i < 1000; ++i) texts += bomb;
  EXPECT_EQ(LoadWithin(PngWith(texts), 64u << 20), 0);
  // A million chunks of 12 bytes each.
  std::string empty;
  for (int i = 0; i < 1000000; ++i) empty += test::Chunk("emPt", "");
  EXPECT_EQ(LoadWithin(PngWith(empty), 8 * empty.size()), 0);
}

// Texts share the file's allowance: the first ones are kept whole, the
// ones past it are left empty.
TEST_F(PngLimitsTest, TextsShareTheFilesAllowance) {
  const std::string mib(1 << 20, ' ');
  std::string texts;
  for (int i = 0; i < 50; ++i) texts += test::Chunk("zTXt", "K" + std::to_string(i) + std::string("\0\0", 2) + Deflated(mib));
  const std::string file = PngWith(texts);
  TspPngImage image;
  test::LoadPngBytes(image, file);
  std::int64_t kept = 0;
  bool dropped = false;
  for (int i = 0; i < image.Chunks.Count(); ++i) {
    auto* z = dynamic_cast<TspPngLayerzTXt*>(static_cast<TspPngLayer*>(image.Chunks.Items(i)));
    if (!z) continue;
    EXPECT_TRUE(z->Text == mib || z->Text.empty()) << z->Keyword;
    EXPECT_FALSE(dropped && !z->Text.empty()) << z->Keyword;  // none after the first dropped
    dropped = dropped || z->Text.empty();
    kept += static_cast<std::int64_t>(z->Text.size());
  }
  EXPECT_TRUE(dropped);
  EXPECT_GE(kept, 1 << 20);
  EXPECT_LE(kept, (1 << 20) + 16 * static_cast<std::int64_t>(file.size()));
  EXPECT_EQ(image.TextBudget, -1);
}

// What the writer writes the reader reads: a long text that compresses as
// text does comes back whole; one the reader would drop is refused on save,
// and the file is not written.
TEST_F(PngLimitsTest, WrittenTextsReadBackOrAreRefusedOnSave) {
  std::mt19937 rng(5);
  std::string prose;
  while (prose.size() < (2u << 20)) prose += std::to_string(rng()) + (rng() % 7 ? " " : ".\n");
  TspPngImage image;
  image.CreateBlank(0, 8, 2, 2);
  auto* z = static_cast<TspPngLayerzTXt*>(image.CreateChunk("zTXt"));
  image.InsertChunk(1, z);
  z->Keyword = "Comment";
  z->Text = prose;
  TspPngImage back;
  test::LoadPngBytes(back, test::SavePngBytes(image));
  auto* read = dynamic_cast<TspPngLayerzTXt*>(back.FindChunk("zTXt"));
  ASSERT_NE(read, nullptr);
  EXPECT_TRUE(read->Text == prose) << read->Text.size();

  z->Text.assign(4u << 20, 'a');
  TMemoryStream out;
  EXPECT_EQ(test::MessageOf<EspPngError>([&] { image.SaveToStream(out); }).rfind("PNG texts too long to be read back: ", 0),
            0u);
  EXPECT_EQ(out.Size(), 0);
}

}  // namespace
}  // namespace vt
