#include "common/ProductInformation.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/FileStreams.h"
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

}  // namespace
}  // namespace vt
