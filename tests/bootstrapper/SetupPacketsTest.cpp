#include "bootstrapper/SetupPackets.h"

#include <gtest/gtest.h>

#include <string>

#include "common/FileStreams.h"
#include "common/ProductInformation.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

class SetupPackets : public test::TempFolderTest {
 protected:
  void SetUp() override {
    static const UnitEntry units[] = {kPacketsUnit, kProductInformationUnit, kSetupPacketsUnit};
    InitializeUnits(units);
  }

  static void AddFile(TSetupPacket& p, const std::string& name, const std::string& content) {
    TSetupFilePacket& f = p.Files.AddNew();
    f.Filename = name;
    f.Content.WriteBuffer(content.data(), static_cast<std::int64_t>(content.size()));
  }

  std::string Write(const std::string& name, const TPacket& packet, const std::string& tail = "") {
    const std::string path = P(name);
    TVirtualStream s(0);
    SavePacket(packet, s);
    s.WriteBuffer(tail.data(), static_cast<std::int64_t>(tail.size()));
    SaveStreamToFile(s, path, 0, 0);
    return path;
  }
};

TEST_F(SetupPackets, PackageWithAppendedProgramLoadsUpToItsTotalSize) {
  TSetupPacket p;
  p.Version = 7;
  p.SetupDateTime = 45000.5;
  AddFile(p, "INFO.DAT", "info bytes");
  AddFile(p, "Setup.exe", std::string(1000, 'x'));
  AddFile(p, "big.bin", std::string(200000, 'b'));  // large: lent from the file, not copied
  TVirtualStream alone(0);
  SavePacket(p, alone);
  const std::string tail = "MZ\x90 appended program bytes that are never read";
  const std::string path = Write("Setup.pak", p, tail);

  auto loaded = LoadSetupPacketFromFile(path, 0);
  EXPECT_TRUE(loaded->Equals(p));
  ASSERT_EQ(loaded->Files.Count(), 3);
  EXPECT_EQ(loaded->Files.GetItem(0).Content.Size(), 10);
  TVirtualStream& big = loaded->Files.GetItem(2).Content;
  EXPECT_EQ(big.MemoryKind(), TStreamMemoryKind::Lent);
  const std::string before = test::ReadFileText(path);
  static_cast<char*>(big.Memory())[0] = 'c';  // a private copy: the file keeps its bytes
  EXPECT_EQ(test::ReadFileText(path), before);

  TFileStreamEx file(path, 0x20, 0, 0);
  TSetupPacket into;
  LoadPacketInto(into, file);
  EXPECT_EQ(file.Position(), alone.Size());
}

TEST_F(SetupPackets, IndexOfSetupFileFirstMatchAndCase) {
  TSetupPacket p;
  AddFile(p, "readme.txt", "");
  AddFile(p, "INFO.DAT", "first");
  AddFile(p, "info.dat", "second");
  EXPECT_EQ(IndexOfSetupFile(p.Files, "info.dat", false), 1);
  EXPECT_EQ(IndexOfSetupFile(p.Files, "info.dat", true), 2);
  EXPECT_EQ(IndexOfSetupFile(p.Files, "INFO.DAT", true), 1);
  EXPECT_EQ(IndexOfSetupFile(p.Files, "missing", false), -1);
  EXPECT_EQ(IndexOfSetupFile(p.Files, "\xC9NFO.DAT", false), -1);
  EXPECT_EQ(IndexOfSetupFile(TSetupFilePacketList{}, "x", false), -1);
  // An item of another class is an invalid cast.
  p.Files.Add(std::make_unique<TSetupEventPacket>());
  EXPECT_THROW(p.Files.GetItem(3), EInvalidCast);
}

TEST_F(SetupPackets, PackageOfAnotherClassOrDamagedIsRefused) {
  TProductInformationPacket info;
  const std::string path = Write("other.pak", info);
  EXPECT_NE(test::MessageOf<Exception>([&] { LoadSetupPacketFromFile(path, 0); }).find("Incompatible packet class: "),
            std::string::npos);
  TSetupPacket p;
  AddFile(p, "info.dat", std::string(500, 'i'));
  const std::string whole = test::ReadFileText(Write("whole.pak", p));
  test::WriteFileText(P("cut.pak"), whole.substr(0, whole.size() - 100));
  EXPECT_THROW(LoadSetupPacketFromFile(P("cut.pak"), 0), Exception);
  EXPECT_THROW(LoadSetupPacketFromFile(P("missing.pak"), 0), Exception);
}

}  // namespace
}  // namespace vt
