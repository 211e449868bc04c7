#include "varnox/DriveThread.h"

#include <gtest/gtest.h>

#include "varnox/Errors.h"

namespace varnox {
namespace {

DriveProperties props(uint32_t depth) {
  DriveProperties p;
  p.queueDepth = depth;
  return p;
}

TEST(DriveThreadTest, VariablesKeepOneStableStoragePerNameAndStartAtTheFirstDefault) {
  DriveThread thread(props(8));
  int err = 0;
  uint64_t* lba = thread.mapU64("LBA", kVarReadWrite, &err, 77);
  ASSERT_NE(nullptr, lba);
  EXPECT_EQ(77u, *lba);
  // Many more variables must not move the ones already handed out.
  for (int i = 0; i < 200; ++i) thread.mapU32(("V" + std::to_string(i)).c_str(), kVarRead, &err, 1);
  EXPECT_EQ(lba, thread.mapU64("LBA", kVarRead, &err, 5));
  EXPECT_EQ(77u, *lba);  // a later mapper's default does not reset the value
  *lba = 1234;
  EXPECT_EQ(1234u, *thread.findU64("LBA"));

  // Every other type maps through the same store; the agent tests map each of them.
  Buffer* data = thread.mapBuffer("WriteData", kVarWrite, &err);
  EXPECT_EQ(data, thread.findBuffer("WriteData"));
  thread.mapBool("DeviceReset", kVarReadWrite, &err, true);
  thread.mapLBARangeQueue("CSZoneReset", kVarProvided, &err);
  EXPECT_EQ(0, err);

  // Lookups do not create variables and see only the right type.
  EXPECT_EQ(nullptr, thread.findU64("Missing"));
  EXPECT_EQ(nullptr, thread.findU32("LBA"));
  EXPECT_EQ(nullptr, thread.findTaggedBuffer("WriteData"));
  EXPECT_EQ(204u, thread.variableNames().size());
}

TEST(DriveThreadTest, MappingAgainWithAnotherTypeFailsThroughErr) {
  DriveThread thread(props(4));
  int err = 0;
  ASSERT_NE(nullptr, thread.mapU32("XferLength", kVarRead, &err, 8));
  EXPECT_EQ(nullptr, thread.mapU64("XferLength", kVarRead, &err, 0));
  EXPECT_EQ(VARNOX_ERR_TYPE_MISMATCH, err);
  err = 0;
  EXPECT_EQ(nullptr, thread.mapTaggedBuffer("XferLength", kVarRead, &err));
  // The shared error stays set while later mappings still succeed.
  EXPECT_NE(nullptr, thread.mapU32("Other", kVarRead, &err, 0));
  EXPECT_EQ(VARNOX_ERR_TYPE_MISMATCH, err);
  err = 0;
  EXPECT_EQ(nullptr, thread.mapU32("BadMode", 4, &err, 0));
  EXPECT_EQ(VARNOX_ERR_BAD_VALUE, err);
}

TEST(DriveThreadTest, WritersAreDistinctMappersWithWriteModesOrDeclared) {
  DriveThread thread(props(4));
  int err = 0;
  thread.setMapper("cardamor");
  thread.mapLBARangeQueue("CSZoneReset", kVarProvided, &err);
  thread.mapU64("LBA", kVarReadWrite, &err, 0);
  thread.mapU32("XferLength", kVarRead, &err, 0);
  auto writers = [&] {
    return std::vector<uint32_t>{thread.countVarWriters("CSZoneReset"), thread.countVarWriters("LBA"),
                                 thread.countVarWriters("XferLength"), thread.countVarWriters("Unknown")};
  };
  EXPECT_EQ(writers(), (std::vector<uint32_t>{0, 1, 0, 0}));

  thread.setMapper("lba");
  thread.mapU64("LBA", kVarWrite, &err, 0);
  thread.mapU64("LBA", kVarWrite, &err, 0);  // the same mapper twice counts once
  thread.declareWriter("CSZoneReset", "zone-agent");
  EXPECT_EQ(writers(), (std::vector<uint32_t>{1, 2, 0, 0}));
  EXPECT_EQ(0, err);
}

TEST(DriveThreadTest, TaggedBuffersHaveOneBufferPerTagAndRecordIsRegisteredOnce) {
  DriveThread thread(props(16));
  int err = 0;
  TaggedBuffer* cdb = thread.mapTaggedBuffer("CDB[TagID]", kVarRead, &err);
  ASSERT_NE(nullptr, cdb);
  EXPECT_EQ(16u, cdb->tagCount());
  ASSERT_TRUE(cdb->buffer(15)->allocate(16));
  uint64_t size = 99;
  EXPECT_NE(nullptr, cdb->getData(15, &size));
  EXPECT_EQ(16u, size);
  EXPECT_EQ(nullptr, cdb->getData(16, &size));
  EXPECT_EQ(0u, size);

  int record = 0;
  EXPECT_EQ(VARNOX_ERR_NO_RECORD, thread.registerDriveData(nullptr));
  EXPECT_EQ(0, thread.registerDriveData(&record));
  EXPECT_EQ(VARNOX_ERR_DUPLICATE, thread.registerDriveData(&record));
  EXPECT_EQ(&record, thread.driveData());
}

TEST(FreeTagQueueTest, TagsCycleThroughUseCompletionAndPriorities) {
  FreeTagQueue tags(3);
  EXPECT_EQ(3u, tags.getMaxQueueDepth());
  EXPECT_EQ(0u, tags.peekNextFreeTag());
  // Braced lists evaluate in order.
  EXPECT_EQ((std::vector<uint32_t>{tags.takeFreeTag(), tags.takeFreeTag(), tags.takeFreeTag(), tags.peekNextFreeTag(),
                                   tags.takeFreeTag(), tags.inUseCount()}),
            (std::vector<uint32_t>{0, 1, 2, kNoTag, kNoTag, 3}));

  tags.markCompleted(1);
  EXPECT_EQ((std::vector<uint32_t>{tags.getNotFreeTag(0, false), tags.getNotFreeTag(0, true), tags.getNotFreeTag(2, false),
                                   tags.getNotFreeTag(2, true)}),
            (std::vector<uint32_t>{0, 1, 2, kNoTag}));

  tags.pushFreeTag(2, 0);
  tags.pushFreeTag(1, 1);  // priority: ahead of tag 2
  tags.pushFreeTag(1, 0);  // already free: ignored, no double entry
  tags.pushFreeTag(7, 0);  // out of range: ignored
  EXPECT_EQ(1u, tags.inUseCount());
  EXPECT_EQ((std::vector<uint32_t>{tags.takeFreeTag(), tags.takeFreeTag(), tags.takeFreeTag()}),
            (std::vector<uint32_t>{1, 2, kNoTag}));
  // A reused tag starts uncompleted.
  EXPECT_EQ(kNoTag, tags.getNotFreeTag(0, true));

  EXPECT_EQ(kMaxQueueDepth, FreeTagQueue(5000).getMaxQueueDepth());
  EXPECT_EQ(1u, FreeTagQueue(0).getMaxQueueDepth());
}

TEST(BufferTest, PointingAtForeignMemoryFreesOwnedMemoryFirst) {
  Buffer buffer;
  ASSERT_TRUE(buffer.allocate(64));
  EXPECT_TRUE(buffer.ownsData);
  EXPECT_EQ(0, buffer.data[63]);
  uint8_t foreign[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  buffer.pointAt(foreign, sizeof(foreign));
  EXPECT_FALSE(buffer.ownsData);
  EXPECT_EQ(foreign, buffer.data);
  EXPECT_EQ(8u, buffer.size);
  ASSERT_TRUE(buffer.assign(foreign, 4));
  EXPECT_TRUE(buffer.ownsData);
  EXPECT_NE(foreign, buffer.data);
  EXPECT_EQ(4, buffer.data[3]);
  buffer.release();
  EXPECT_EQ(nullptr, buffer.data);
  EXPECT_EQ(0u, buffer.capacity);
}

}  // namespace
}  // namespace varnox
