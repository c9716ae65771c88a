// TStream: the growable memory stream that holds the packed payload and the
// decoded engine.  Its growth policy (linear 128 KiB steps, exact size when
// SetSize keeps the size), its refusals (negative positions and counts) and
// its position rules are what the extraction relies on.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "NoRTLStream/NoRTLStream.h"

namespace {

// One step of a script run against a fresh stream.
struct Op {
    enum Kind { SetSize, SetCapacity, Write, Read, Seek, GetSize, Clear } kind;
    int32_t a = 0;        // size, capacity, count or offset
    int32_t b = 0;        // fill byte for Write, origin for Seek
    int32_t result = 0;   // expected return value (Write, Read, Seek, GetSize)
    std::string data;     // Read: the bytes expected to arrive
};

Op SetSizeTo(int32_t n) { return {Op::SetSize, n, 0, 0, {}}; }
Op SetCapacityTo(int32_t n) { return {Op::SetCapacity, n, 0, 0, {}}; }
Op WriteFill(int32_t count, char fill, int32_t result) { return {Op::Write, count, fill, result, {}}; }
Op ReadBack(int32_t count, int32_t result, std::string data = {}) { return {Op::Read, count, 0, result, data}; }
Op SeekTo(int32_t offset, int32_t origin, int32_t result) { return {Op::Seek, offset, origin, result, {}}; }
Op AskSize(int32_t result) { return {Op::GetSize, 0, 0, result, {}}; }
Op ClearAll() { return {Op::Clear, 0, 0, 0, {}}; }

struct StreamCase {
    std::string label;
    std::vector<Op> ops;
    int32_t size, position, capacity;
    bool bufferNull;
    std::string content;  // expected leading bytes; '?' for any byte
};

std::vector<StreamCase> StreamCases() {
    return {
        {"NewStream", {}, 0, 0, 0, true, ""},
        // SetSize on a new stream raises the block to the next 128 KiB.
        {"SetSize1", {SetSizeTo(1)}, 1, 0, 131072, false, ""},
        {"SetSize131072", {SetSizeTo(131072)}, 131072, 0, 131072, false, ""},
        {"SetSize131073", {SetSizeTo(131073)}, 131073, 0, 262144, false, ""},
        // Writes grow the block linearly, never by doubling.
        {"Write10", {WriteFill(10, 'a', 10)}, 10, 10, 131072, false, "aaaaaaaaaa"},
        {"Write10Then131063", {WriteFill(10, 'a', 10), WriteFill(131063, 'b', 131063)}, 131073, 131073, 262144,
         false, "aaaaaaaaaabb"},
        {"ThreeStepsNotDoubling",
         {WriteFill(131072, 'a', 131072), WriteFill(1, 'b', 1), WriteFill(131072, 'c', 131072)}, 262145, 262145,
         393216, false, "aa"},
        // SetSize to the current size asks for exactly that size: no raising.
        {"SetSizeSameSizeMakesCapacityExact", {WriteFill(5, 'a', 5), SetSizeTo(5)}, 5, 5, 5, false, "aaaaa"},
        {"SetSizeSameSizeFromSetSize", {SetSizeTo(5), SetSizeTo(5)}, 5, 0, 5, false, ""},
        // A negative position refuses reads and writes and changes nothing.
        {"NegativePositionRefuses",
         {WriteFill(5, 'a', 5), SeekTo(-1, 0, -1), ReadBack(1, 0), WriteFill(1, 'z', 0)}, 5, -1, 131072, false,
         "aaaaa"},
        {"NegativeCountsRefused",
         {WriteFill(5, 'a', 5), SeekTo(0, 0, 0), ReadBack(-1, 0), WriteFill(-1, 'z', 0)}, 5, 0, 131072, false,
         "aaaaa"},
        // Writing nothing at the start allocates nothing.
        {"WriteNothingAtStart", {WriteFill(0, 'a', 0)}, 0, 0, 0, true, ""},
        // Seek never clamps; an unknown origin leaves the position alone.
        {"SeekOrigins",
         {WriteFill(5, 'a', 5), SeekTo(3, 0, 3), SeekTo(0, 7, 3), SeekTo(2, 1, 5), SeekTo(-2, 2, 3),
          SeekTo(100, 0, 100), SeekTo(-300, 1, -200)},
         5, -200, 131072, false, "aaaaa"},
        // A short read returns what is left; the next returns nothing.
        {"ShortReadThenZero",
         {WriteFill(20, 'a', 20), WriteFill(30, 'b', 30), SeekTo(20, 0, 20), ReadBack(100, 30, std::string(30, 'b')),
          ReadBack(100, 0)},
         50, 50, 131072, false, ""},
        {"ReadPastTheEnd", {WriteFill(5, 'a', 5), SeekTo(9, 0, 9), ReadBack(1, 0)}, 5, 9, 131072, false, "aaaaa"},
        {"OverwriteInTheMiddle", {WriteFill(10, 'a', 10), SeekTo(2, 0, 2), WriteFill(3, 'b', 3)}, 10, 5, 131072,
         false, "aabbbaaaaa"},
        // A write that starts beyond the end extends the stream to its end.
        {"WriteBeyondTheEnd", {WriteFill(2, 'a', 2), SeekTo(10, 0, 10), WriteFill(3, 'b', 3)}, 13, 13, 131072, false,
         "aa????????bbb"},
        // SetSize below the position moves the position to the new end.
        {"SetSizeBelowPosition", {WriteFill(60, 'a', 60), SeekTo(50, 0, 50), SetSizeTo(10)}, 10, 10, 131072, false,
         "aaaaaaaaaa"},
        {"SetSizeAbovePosition", {WriteFill(60, 'a', 60), SeekTo(4, 0, 4), SetSizeTo(10)}, 10, 4, 131072, false,
         "aaaaaaaaaa"},
        {"SetSizeZeroReleasesTheBlock", {WriteFill(10, 'a', 10), SetSizeTo(0)}, 0, 0, 0, true, ""},
        // A negative size (a packed size of 2 GiB or more) allocates nothing;
        // being below the position, it also becomes the position.
        {"NegativeSizeAllocatesNothing", {SetSizeTo(-5), ReadBack(1, 0)}, -5, -5, -5, true, ""},
        {"SizeOf2GiBAllocatesNothing", {SetSizeTo(INT32_MIN), AskSize(INT32_MIN)}, INT32_MIN, INT32_MIN, INT32_MIN, true,
         ""},
        {"GetSizeKeepsPosition", {WriteFill(10, 'a', 10), SeekTo(3, 0, 3), AskSize(10)}, 10, 3, 131072, false,
         "aaaaaaaaaa"},
        // SetCapacity touches neither size nor position, and keeps the bytes.
        {"SetCapacityKeepsSizeAndBytes", {WriteFill(10, 'a', 10), SetCapacityTo(200000)}, 10, 10, 262144, false,
         "aaaaaaaaaa"},
        {"ClearEmptiesEverything", {WriteFill(10, 'a', 10), ClearAll()}, 0, 0, 0, true, ""},
    };
}

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.label; }

class StreamTable : public ::testing::TestWithParam<StreamCase> {};

TEST_P(StreamTable, EndsInTheExpectedState) {
    const StreamCase& c = GetParam();
    TStream s;
    for (size_t i = 0; i < c.ops.size(); ++i) {
        const Op& op = c.ops[i];
        SCOPED_TRACE("step " + std::to_string(i));
        switch (op.kind) {
            case Op::SetSize: s.SetSize(op.a); break;
            case Op::SetCapacity: s.SetCapacity(op.a); break;
            case Op::Clear: s.Clear(); break;
            case Op::Write: {
                std::vector<uint8_t> source(op.a > 0 ? op.a : 1, static_cast<uint8_t>(op.b));
                EXPECT_EQ(s.Write(source.data(), op.a), op.result);
                break;
            }
            case Op::Read: {
                // The destination is larger than asked: nothing past what the
                // read returns may be touched.
                std::vector<uint8_t> dest((op.a > 0 ? op.a : 0) + 16, 0xEE);
                const int32_t n = s.Read(dest.data(), op.a);
                EXPECT_EQ(n, op.result);
                if (!op.data.empty()) {
                    EXPECT_EQ(std::string(dest.begin(), dest.begin() + n), op.data);
                }
                for (size_t k = n > 0 ? n : 0; k < dest.size(); ++k) {
                    if (dest[k] != 0xEE) {
                        ADD_FAILURE() << "byte " << k << " of the destination was written";
                        break;
                    }
                }
                break;
            }
            case Op::Seek: EXPECT_EQ(s.Seek(op.a, static_cast<uint8_t>(op.b)), op.result); break;
            case Op::GetSize: EXPECT_EQ(s.GetSize(), op.result); break;
        }
    }
    EXPECT_EQ(s.Size, c.size);
    EXPECT_EQ(s.Position, c.position);
    EXPECT_EQ(s.Capacity, c.capacity);
    EXPECT_EQ(s.Buffer == nullptr, c.bufferNull);
    if (c.content.empty()) return;
    ASSERT_LE(static_cast<int32_t>(c.content.size()), s.Size);
    for (size_t k = 0; k < c.content.size(); ++k) {
        if (c.content[k] == '?') continue;
        EXPECT_EQ(static_cast<char>(s.Buffer[k]), c.content[k]) << "byte " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, StreamTable, ::testing::ValuesIn(StreamCases()),
                         [](const ::testing::TestParamInfo<StreamCase>& info) { return info.param.label; });

// The bytes survive every growth step: the block is resized, not replaced.
TEST(NoRTLStream, GrowingKeepsEveryByteWritten) {
    TStream s;
    std::vector<uint8_t> expected;
    for (int32_t chunk = 0; chunk < 40; ++chunk) {
        std::vector<uint8_t> piece(12345 + chunk);
        for (size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<uint8_t>(i * 7 + chunk);
        ASSERT_EQ(s.Write(piece.data(), static_cast<int32_t>(piece.size())), static_cast<int32_t>(piece.size()));
        expected.insert(expected.end(), piece.begin(), piece.end());
    }
    ASSERT_EQ(s.Size, static_cast<int32_t>(expected.size()));
    EXPECT_EQ(s.Capacity % 131072, 0);
    EXPECT_LT(s.Capacity - s.Size, 131072);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), s.Buffer));
    std::vector<uint8_t> back(expected.size());
    s.Seek(0, 0);
    EXPECT_EQ(s.Read(back.data(), static_cast<int32_t>(back.size())), static_cast<int32_t>(back.size()));
    EXPECT_EQ(back, expected);
}

}  // namespace
