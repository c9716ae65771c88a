// The PE checksum of a file fed in pieces: a package's is taken over the
// stub, the middle and gigabytes of engine data in turn, split at odd
// offsets too.
#include <gtest/gtest.h>

#include "PeImage.h"
#include "TestPackages.h"

namespace {

uint32_t InOnePiece(const Bytes& file, uint64_t field) {
    PeChecksum sum(field);
    sum.Add(file.data(), file.size());
    return sum.Finish();
}

TEST(PeChecksum, PiecesGiveTheSameAsTheWholeWhereverTheySplit) {
    for (const size_t size : {size_t{1001}, size_t{1000}}) {
        const Bytes file = EngineBytes(size, 9);
        for (const uint64_t field : {uint64_t{88}, uint64_t{89}, uint64_t{996}}) {
            const uint32_t whole = InOnePiece(file, field);
            for (const size_t a : {size_t{0}, size_t{1}, size_t{87}, size_t{88}, size_t{90}, size_t{501}}) {
                for (const size_t b : {a, a + 1, a + 3, size}) {
                    if (b > size) continue;
                    SCOPED_TRACE(testing::Message() << size << " " << field << " " << a << " " << b);
                    PeChecksum sum(field);
                    sum.Add(file.data(), a);
                    sum.Add(file.data() + a, b - a);
                    sum.Add(file.data() + b, size - b);
                    EXPECT_EQ(sum.Finish(), whole);
                }
            }
        }
    }
}

TEST(PeChecksum, FieldBytesCountAsZeroAndAnOddByteIsAWordOfItsOwn) {
    // Words 0x0201 and 0x0003 (the odd last byte), field bytes 4-7 ignored.
    const Bytes file = {0x01, 0x02, 0x03, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x03};
    EXPECT_EQ(InOnePiece(file, 4), 0x0201u + 0x0003u + 0x0003u + 9u);
    // End-around carry: 0xFFFF + 0x0002 folds to 0x0002.
    EXPECT_EQ(InOnePiece(Bytes{0xFF, 0xFF, 0x02, 0x00}, 100), 0x0002u + 4u);
}

}  // namespace
