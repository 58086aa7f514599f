#include "MyLib/MyFifo.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

std::vector<uint8_t> Sequence(int ACount, uint8_t AFirst = 0) {
    std::vector<uint8_t> bytes(static_cast<std::size_t>(ACount));
    std::iota(bytes.begin(), bytes.end(), AFirst);
    return bytes;
}

std::vector<uint8_t> ReadAll(TFifo& AFifo) {
    std::vector<uint8_t> bytes(static_cast<std::size_t>(AFifo.Count()));
    EXPECT_EQ(AFifo.Read(bytes.data(), int(bytes.size())), int(bytes.size()));
    return bytes;
}

} // namespace

TEST(MyFifo, FillsUpToOneByteShortOfItsSizeAndCountsTheWriteThatDoesNotFit) {
    TFifo fifo;
    EXPECT_EQ(fifo.Avail(), 1023);
    const auto bytes = Sequence(1023);
    EXPECT_EQ(fifo.Write(bytes.data(), 1023), 1023);
    EXPECT_EQ(fifo.Avail(), 0);
    EXPECT_EQ(fifo.Count(), 1023);
    const uint8_t one = 0xAB;
    fifo.Write(&one, 1);
    EXPECT_EQ(fifo.Overflows(), 1);
    // The oldest byte made room: still full, the newest byte last.
    EXPECT_EQ(fifo.Count(), 1023);
    const auto kept = ReadAll(fifo);
    EXPECT_EQ(kept.front(), 1);
    EXPECT_EQ(kept.back(), 0xAB);
}

TEST(MyFifo, WrapsAroundTheEndAndStartsOverOnceEmptied) {
    TFifo fifo;
    ASSERT_TRUE(fifo.SetSize(16));
    auto bytes = Sequence(10);
    fifo.Write(bytes.data(), 10);
    uint8_t out[16];
    EXPECT_EQ(fifo.Read(out, 4), 4);
    // Ends exactly at the end of the storage: the tail is back at the start.
    fifo.Write(bytes.data(), 6);
    EXPECT_EQ(fifo.Count(), 12);
    const auto more = Sequence(3, 100);
    fifo.Write(more.data(), 3); // wraps
    EXPECT_EQ(fifo.GetBuffer()[0], 100);
    // A peek returns what the read then takes out once.
    uint8_t peek[15], read[15];
    EXPECT_EQ(fifo.Check(peek, 15), 15);
    EXPECT_EQ(fifo.Read(read, 15), 15);
    EXPECT_EQ(std::vector<uint8_t>(peek, peek + 15), std::vector<uint8_t>(read, read + 15));
    EXPECT_EQ(read[0], 4);
    EXPECT_EQ(read[14], 102);
    EXPECT_EQ(fifo.Count(), 0);
    // Emptied by the read: the next write starts at the beginning of the storage.
    const uint8_t one = 7;
    fifo.Write(&one, 1);
    EXPECT_EQ(fifo.GetBuffer()[0], 7);
    fifo.Skip(100);
    EXPECT_EQ(fifo.Count(), 0);
}

TEST(MyFifo, RefusesCountsAndSizesThatWouldBreakIt) {
    TFifo fifo;
    ASSERT_TRUE(fifo.SetSize(8));
    auto bytes = Sequence(3);
    fifo.Write(bytes.data(), 3);
    uint8_t out[4];
    EXPECT_EQ(fifo.Write(bytes.data(), 0), 0);
    EXPECT_EQ(fifo.Write(bytes.data(), -5), 0);
    EXPECT_EQ(fifo.Read(out, -1), 0);
    EXPECT_EQ(fifo.Check(out, 0), 0);
    fifo.Skip(-3);
    EXPECT_EQ(fifo.Count(), 3);
    EXPECT_FALSE(fifo.SetSize(0));
    EXPECT_FALSE(fifo.SetSize(-1));
    EXPECT_EQ(fifo.Size(), 8);
    EXPECT_EQ(fifo.Count(), 3);
}

TEST(MyFifo, AWriteOfTheWholeRingOrMoreKeepsItsNewestBytesInsideTheStorage) {
    for (int size : {8, 9, 20}) {
        SCOPED_TRACE(size);
        TFifo fifo;
        ASSERT_TRUE(fifo.SetSize(8));
        const uint8_t old[2] = {0xEE, 0xEE};
        fifo.Write(old, 2);
        const auto bytes = Sequence(size);
        EXPECT_EQ(fifo.Write(bytes.data(), size), size);
        EXPECT_EQ(fifo.Overflows(), 1);
        EXPECT_EQ(ReadAll(fifo), std::vector<uint8_t>(bytes.end() - 7, bytes.end()));
    }
}
