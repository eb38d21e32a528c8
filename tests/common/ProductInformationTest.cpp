#include "common/ProductInformation.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "common/FileStreams.h"
#include "common/ProcessRunner.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

class ProductInformation : public test::TempFolderTest {
 protected:
  void SetUp() override {
    static const UnitEntry units[] = {kPacketsUnit, kProductInformationUnit};
    InitializeUnits(units);
  }
  // The singleton outlives the test: leave it as other tests expect it.
  void TearDown() override { testing::ResetProductInfo(); }

  std::string WriteInfo(const std::string& name, const TProductInformationPacket& packet) {
    const std::string path = P(name);
    TVirtualStream s(0);
    SavePacket(packet, s);
    SaveStreamToFile(s, path, 0, 0);
    return path;
  }
};

TEST_F(ProductInformation, FreshFileIs95BytesAndReadsBackDamagedOneRaises) {
  TProductInformationPacket packet;
  const std::string path = WriteInfo("info.dat", packet);
  EXPECT_EQ(fs::file_size(path), 95u);

  TProductInfoLoader loader(path);
  EXPECT_EQ(loader.ProductCaption, "Vontaro");
  EXPECT_TRUE(loader.CaptionIsDefault);
  EXPECT_TRUE(loader.Packet->Equals(packet));
  EXPECT_EQ(loader.ModuleDir.back(), '/');

  test::WriteFileText(path, std::string(40, '\x07'));
  EXPECT_THROW(TProductInfoLoader damaged(path), Exception);
}

TEST_F(ProductInformation, CaptionIsDefaultIgnoresAsciiCaseOnly) {
  struct {
    const char* caption;
    bool is_default;
  } cases[] = {{"VONTARO", true}, {"vontaro", true}, {"Vontaro Setup", false}, {"Vontar", false}, {"", false}};
  for (const auto& c : cases) {
    TProductInformationPacket packet;
    packet.ProductCaption = c.caption;
    packet.VisualStudioBuilds = false;
    TProductInfoLoader loader(WriteInfo("caption.dat", packet));
    EXPECT_EQ(loader.CaptionIsDefault, c.is_default) << c.caption;
    EXPECT_FALSE(loader.VisualStudioBuilds);
    EXPECT_TRUE(loader.VisualStudioAddIn);
  }
}

// The singleton: one test, since the "file loaded" flag lasts for the process.
TEST_F(ProductInformation, FirstLoaderThatFindsItsFileWins) {
  testing::ResetProductInfo();
  const std::string missing = P("missing.dat");
  EXPECT_EQ(GetProductInfo(missing).ProductCaption, "Vontaro");
  EXPECT_FALSE(ProductInfoFileLoaded());
  EXPECT_EQ(GetProductInfo(missing).FileName, missing);

  TProductInformationPacket packet;
  packet.ProductCaption = "Acme Build";
  const std::string found = WriteInfo("found.dat", packet);
  TProductInfoLoader& loaded = GetProductInfo(found);
  EXPECT_EQ(loaded.ProductCaption, "Acme Build");
  EXPECT_TRUE(ProductInfoFileLoaded());

  packet.ProductCaption = "Other";
  const std::string other = WriteInfo("other.dat", packet);
  EXPECT_EQ(&GetProductInfo(other), &loaded);
  EXPECT_EQ(GetProductInfo("").ProductCaption, "Acme Build");
}

// A backslash in the program's folder is part of a name: the file beside the
// program is found all the same.
TEST_F(ProductInformation, FoundBesideAProgramWhoseFolderHoldsABackslash) {
  const fs::path dir = folder_.path() / "a\\b";
  fs::create_directory(dir);
  fs::copy_file(test::ProgramBeside("vt_proc_child"), dir / "Child");
  TProductInformationPacket packet;
  packet.ProductCaption = "Acme Build";
  fs::copy_file(WriteInfo("info.dat", packet), dir / "info.dat");
  const int out = ::open(P("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const TStdHandles std_handles{out, -1, 2};
  EXPECT_EQ(RunProcess("\"" + (dir / "Child").string() + "\" caption", true, 0, {}, nullptr, nullptr, &std_handles), 0);
  ::close(out);
  EXPECT_EQ(test::ReadFileText(P("out")), "Acme Build");
}

}  // namespace
}  // namespace vt
