// Build description documents: task groups nest as deep as a save writes
// and a load reads, and no deeper.
#include <gtest/gtest.h>

#include <string>

#include "CatalogueTestSupport.h"
#include "catalogues/GridProfileXmlPackets.h"

namespace vt {
namespace {

using namespace test;

class BuildDocumentTest : public CatalogueTest {};

// A document whose project holds a chain of groups with a task in the last
// one; the document is level 1, the task level Levels. Answers the last group.
TXml_TaskGroup& Nest(TXml_BuildDocument& doc, int levels) {
  doc.FormatVersion = 1;
  TXml_TaskGroup* g = &doc.Project.AddNew();
  g->Name = "level 2";
  for (int level = 3; level < levels; ++level) {
    g = &g->TaskGroup.AddNew();
    g->Name = "level " + std::to_string(level);
  }
  g->Task.AddNew().Name = "deepest task";
  return *g;
}

TEST_F(BuildDocumentTest, TheDeepestTreeThatSavesLoadsBack) {
  TXml_BuildDocument doc;
  Nest(doc, kMaxPacketNesting);
  const std::string bytes = SaveBytes(doc);
  TXml_BuildDocument from_memory, from_stream;
  TPointerStream memory(const_cast<char*>(bytes.data()), static_cast<std::int64_t>(bytes.size()), true);
  LoadPacketInto(from_memory, memory);
  EXPECT_TRUE(from_memory.Equals(doc));
  TPlainStream plain(bytes);
  LoadPacketInto(from_stream, plain);
  EXPECT_TRUE(from_stream.Equals(doc));

  TPacketStreamingContext save_context, load_context;
  const std::string with_context = SaveBytes(doc, &save_context);
  TPointerStream in(const_cast<char*>(with_context.data()), static_cast<std::int64_t>(with_context.size()), true);
  auto loaded = LoadPacket(in, &load_context);
  EXPECT_TRUE(loaded->Equals(doc));
}

TEST_F(BuildDocumentTest, ADeeperTreeIsRefusedOnSaveBeforeAnythingIsWritten) {
  TXml_BuildDocument doc;
  Nest(doc, kMaxPacketNesting).TaskGroup.AddNew().Task.AddNew().Name = "one level too deep";
  const std::string message =
      "Cannot save packet. Nesting deeper than " + std::to_string(kMaxPacketNesting) + " levels";
  TMemoryStream out;
  EXPECT_EQ(MessageOf([&] { SavePacket(doc, out); }), message);
  TPacketStreamingContext context;
  EXPECT_EQ(MessageOf([&] { SavePacket(doc, out, &context); }), message);
  EXPECT_EQ(MessageOf([&] { SavePacket(doc, out, nullptr, pioCompress); }), message);
  EXPECT_EQ(out.Size(), 0);
  // The document is still whole and can be cut back to what saves.
  TXml_BuildDocument copy;
  copy.Assign(doc);
  EXPECT_TRUE(copy.Equals(doc));
}

}  // namespace
}  // namespace vt
