// TLZMADecoder: decoding a raw LZMA1 payload to exactly its unpacked size.
// Streams are made with the package writer's compressor; whole runs check
// that every bad stream or property ends in the damaged-package message.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "FakeWindows.h"
#include "NoRTLStream/NoRTLStream.h"
#include "TestPackages.h"
#include "lzma/lzma.h"

namespace {

constexpr uint32_t kDamaged = 1392;
const std::u16string kDamagedText =
    u"An error occurred while trying to read the setup package.  It has most likely been damaged.  "
    u"Please obtain a new copy from the vendor.";

std::array<uint8_t, 5> Props(uint8_t d, uint32_t dictionary) {
    return {d, static_cast<uint8_t>(dictionary), static_cast<uint8_t>(dictionary >> 8),
            static_cast<uint8_t>(dictionary >> 16), static_cast<uint8_t>(dictionary >> 24)};
}

// lc 3, lp 0, pb 2: what the writer's default settings use.
constexpr uint8_t kDefaultByte = 0x5D;

void Fill(TStream& s, const Bytes& bytes) {
    s.Write(bytes.data(), static_cast<int32_t>(bytes.size()));
    s.Seek(0, soBeginning);
}

Bytes Contents(const TStream& s) { return Bytes(s.Buffer, s.Buffer + (s.Size > 0 ? s.Size : 0)); }

struct Decoded {
    bool result;
    Bytes output;
};

Decoded DecodeBytes(const Bytes& packed, int64_t outSize, std::array<uint8_t, 5> props = Props(kDefaultByte, 1u << 22)) {
    TStream in, out;
    Fill(in, packed);
    TLZMADecoder decoder;
    EXPECT_TRUE(decoder.SetProperties(props.data(), 5));
    Decoded d;
    d.result = decoder.Decode(in, out, outSize);
    d.output = Contents(out);
    return d;
}

LzmaSettings WithMarker(bool marker) {
    LzmaSettings s;
    s.endMarker = marker;
    return s;
}

// Runs a whole launcher on a package whose 64-bit engine (the one chosen on
// the default 64-bit Windows) and header are shaped by change.
RunOutcome RunPackage(FakeWindows& fake, const std::function<void(PackageRecipe&)>& change) {
    PackageRecipe recipe = SoundRecipe();
    change(recipe);
    InstallPackage(fake, BuildPackage(recipe));
    return RunLauncherOn(fake);
}

// -- properties ------------------------------------------------------------------

TEST(LzmaDecoder, SetPropertiesChecksPropertiesByteBeforeDictionary) {
    struct Row {
        const char* what;
        std::array<uint8_t, 5> bytes;
        int32_t count;
        bool valid;
    };
    const Row rows[] = {
        {"usual properties", Props(kDefaultByte, 1u << 22), 5, true},
        {"224: lc 8, lp 4, pb 4", Props(224, 1u << 22), 5, true},
        {"225: pb 5", Props(225, 1u << 22), 5, false},
        {"255", Props(255, 1u << 22), 5, false},
        {"0: lc 0, lp 0, pb 0", Props(0, 1u << 22), 5, true},
        {"dictionary 2^31 - 1", Props(kDefaultByte, 0x7FFFFFFFu), 5, true},
        {"dictionary 2^31", Props(kDefaultByte, 0x80000000u), 5, false},
        {"dictionary 2^32 - 1", Props(kDefaultByte, 0xFFFFFFFFu), 5, false},
        {"dictionary 4095", Props(kDefaultByte, 4095), 5, true},
        {"dictionary 1", Props(kDefaultByte, 1), 5, true},
        {"dictionary 0", Props(kDefaultByte, 0), 5, true},
        {"bad byte and bad dictionary", Props(225, 0x80000000u), 5, false},
        {"four bytes only", Props(kDefaultByte, 1u << 22), 4, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TLZMADecoder decoder;
        EXPECT_EQ(decoder.SetProperties(row.bytes.data(), row.count), row.valid);
    }
}

TEST(LzmaDecoder, LiteralContextAndPositionBitsBeyondFourAreNotDecodable) {
    struct Row {
        uint32_t lc, lp, pb;
        bool supported;
    };
    const Row rows[] = {{3, 0, 2, true}, {4, 0, 0, true}, {0, 4, 0, true}, {2, 2, 4, true},
                        {3, 2, 0, false}, {5, 0, 0, false}, {8, 4, 4, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE("lc " + std::to_string(row.lc) + " lp " + std::to_string(row.lp));
        const auto props = Props(static_cast<uint8_t>((row.pb * 5 + row.lp) * 9 + row.lc), 1u << 20);
        TLZMADecoder decoder;
        ASSERT_TRUE(decoder.SetProperties(props.data(), 5));
        EXPECT_EQ(decoder.IsSupportedByDecoder(), row.supported);
        if (!row.supported) {
            TStream in, out;
            Fill(in, CompressLzma1(EngineBytes(1000), LzmaSettings{}));
            EXPECT_FALSE(decoder.Decode(in, out, 1000));
            EXPECT_EQ(out.Size, 0);
        }
    }
}

// -- decoding ----------------------------------------------------------------------

TEST(LzmaDecoder, DecodesExactlyTheUnpackedSize) {
    const Bytes engine = EngineBytes(200000, 7);
    const Bytes plain = CompressLzma1(engine, WithMarker(false));
    const Bytes marked = CompressLzma1(engine, WithMarker(true));
    const int64_t size = static_cast<int64_t>(engine.size());

    struct Row {
        const char* what;
        const Bytes* packed;
        int64_t outSize;
        bool result;
        Bytes expected;
    };
    const Row rows[] = {
        {"no end marker", &plain, size, true, engine},
        // The marker right after the last byte is never needed.
        {"end marker exactly at the end", &marked, size, true, engine},
        {"end marker, no limit", &marked, -1, true, engine},
        // A marker before the unpacked size ends the output short.
        {"end marker before the end", &marked, size + 100, true, engine},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const Decoded d = DecodeBytes(*row.packed, row.outSize);
        EXPECT_EQ(d.result, row.result);
        EXPECT_EQ(d.output.size(), row.expected.size());
        EXPECT_TRUE(d.output == row.expected);
    }
}

TEST(LzmaDecoder, UnpackedSizeZeroDecodesNothing) {
    // The packed bytes are not even looked at.
    const Decoded d = DecodeBytes(Bytes{0xFF, 0xFF, 0xFF}, 0);
    EXPECT_TRUE(d.result);
    EXPECT_TRUE(d.output.empty());
}

TEST(LzmaDecoder, BrokenStreamsGiveShortOutput) {
    const Bytes engine = EngineBytes(100000, 3);
    const Bytes packed = CompressLzma1(engine, LzmaSettings{});
    struct Row {
        const char* what;
        std::function<Bytes()> make;
    };
    const Row rows[] = {
        // A range-coded stream always starts with a zero byte.
        {"corrupt first byte",
         [&] {
             Bytes b = packed;
             b[0] = 0x80;
             return b;
         }},
        {"corrupt middle",
         [&] {
             Bytes b = packed;
             for (size_t i = b.size() / 3; i < b.size() / 3 + 64; ++i) b[i] = static_cast<uint8_t>(0xFF - i);
             return b;
         }},
        {"truncated to half", [&] { return Bytes(packed.begin(), packed.begin() + packed.size() / 2); }},
        {"nothing at all", [] { return Bytes{}; }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const Decoded d = DecodeBytes(row.make(), static_cast<int64_t>(engine.size()));
        EXPECT_FALSE(d.result);
        EXPECT_LT(d.output.size(), engine.size());
    }
}

// The range coder's closing bytes follow the last symbol.  Decoding on into
// them can yield spurious bytes; the decoder must stop at the unpacked size.
TEST(LzmaDecoder, StopsBeforeTheClosingBytes) {
    bool found = false;
    for (size_t size = 1; size < 400 && !found; ++size) {
        const Bytes engine = EngineBytes(size * 37, static_cast<uint32_t>(size));
        const Bytes packed = CompressLzma1(engine, WithMarker(false));
        const Decoded beyond = DecodeBytes(packed, static_cast<int64_t>(engine.size()) + 1000);
        if (beyond.output.size() <= engine.size()) continue;
        found = true;
        SCOPED_TRACE("engine of " + std::to_string(engine.size()) + " bytes");
        const Decoded exact = DecodeBytes(packed, static_cast<int64_t>(engine.size()));
        EXPECT_TRUE(exact.result);
        EXPECT_TRUE(exact.output == engine);

        // And a whole run accepts that very stream.
        FakeWindows fake;
        const RunOutcome outcome = RunPackage(fake, [&](PackageRecipe& recipe) {
            recipe.engine64 = PayloadInput{engine, packed, {}};
        });
        EXPECT_TRUE(outcome.returnedNormally);
        EXPECT_TRUE(fake.messages.empty());
    }
    ASSERT_TRUE(found) << "no stream with spurious closing bytes among the candidates";
}

// A dictionary below 4096 bytes is accepted: small engines decode through a
// window of at least 4096 bytes.
TEST(LzmaDecoder, SmallDictionaryDecodesSmallEngines) {
    const Bytes engine = EngineBytes(900, 5);
    const Bytes packed = CompressLzma1(engine, LzmaSettings{});
    const Decoded d = DecodeBytes(packed, 900, Props(kDefaultByte, 1000));
    EXPECT_TRUE(d.result);
    EXPECT_TRUE(d.output == engine);
}

// A match may not reach further back than the dictionary the package
// declares, even when the window kept in memory is larger.
// liblzma cannot work with a window below 4096 bytes, so a declared
// dictionary smaller than that still lets matches reach 4096 bytes back; an
// encoder that kept to its own dictionary never makes such a match, and the
// output must still have exactly the declared size.  Beyond the window a
// match is an error whatever the declared size.
TEST(LzmaDecoder, MatchBeyondTheWindowIsAnError) {
    Bytes block = EngineBytes(6000, 11);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(block[i] ^ (i * 131 >> 3));
    Bytes engine = block;
    engine.insert(engine.end(), block.begin(), block.end());  // matches 6000 bytes back
    LzmaSettings settings;
    settings.dictionarySize = 8192;
    const Bytes packed = CompressLzma1(engine, settings);
    // The stream is sound under its own dictionary...
    ASSERT_TRUE(DecodeBytes(packed, 12000, Props(kDefaultByte, 8192)).output == engine);
    // ...but not under one of 1000 bytes, whose window is 4096.
    const Decoded d = DecodeBytes(packed, 12000, Props(kDefaultByte, 1000));
    EXPECT_FALSE(d.result);
    EXPECT_LT(d.output.size(), engine.size());
}

// -- what a whole run makes of it ---------------------------------------------------------

// A header may claim far more than its stream can hold.  The decoder must
// not set aside memory for the claim up front (the 32-bit launcher would run
// out of address space and end without a word); the short output then tells
// the package is damaged.  Real engines still get their whole size at once.
TEST(LzmaDecoder, ReservesOnlyWhatThePackedBytesCanPlausiblyDeliver) {
    const Bytes engine = EngineBytes(200000, 5);
    const Bytes packed = CompressLzma1(engine, LzmaSettings{});
    struct Row {
        int64_t claimed;
        size_t expectedSize;
        int64_t maximumCapacity;
    };
    const Row rows[] = {
        {static_cast<int64_t>(engine.size()), engine.size(), 262144},
        {1536ll << 20, engine.size(), (8 << 20) + 64 * static_cast<int64_t>(packed.size()) + 131072},
        {-1, engine.size(), (8 << 20) + 64 * static_cast<int64_t>(packed.size()) + 131072},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.claimed);
        TStream in, out;
        Fill(in, packed);
        TLZMADecoder decoder;
        const auto props = Props(kDefaultByte, 1u << 22);
        ASSERT_TRUE(decoder.SetProperties(props.data(), 5));
        decoder.Decode(in, out, row.claimed);
        EXPECT_EQ(static_cast<size_t>(out.Size), row.expectedSize);
        EXPECT_LE(out.Capacity, row.maximumCapacity);
    }
    // Output beyond the reservation still arrives whole: 40 MiB of zeros
    // packs to a few kilobytes.
    const Bytes zeros(40u << 20, 0);
    LzmaSettings fast;
    fast.preset = 0;
    const Decoded d = DecodeBytes(CompressLzma1(zeros, fast), static_cast<int64_t>(zeros.size()));
    EXPECT_TRUE(d.result);
    EXPECT_TRUE(d.output == zeros);
}

// Beyond the reservation the output grows by half again, never past what
// the decoding may produce, and in 64 bits: near 1.43 GB the 32-bit sum of
// capacity, its half and the write would overflow.
TEST(LzmaDecoder, OutputGrowthStaysInsideWhatTheStreamMayHold) {
    struct Row {
        int64_t capacity, required, end, expected;
    };
    const int64_t kMax = INT32_MAX;
    const Row rows[] = {
        {1 << 20, (1 << 20) + 65536, 100 << 20, 3 << 19},            // half again
        {131072, 400000, 100 << 20, 400000},                         // the write needs more
        {8 << 20, (8 << 20) + 1, (9 << 20), 9 << 20},                // the end is near
        {1590689792, 1590689792 + 65536, kMax, kMax},                // 32-bit sum would overflow
        {1431655765, 1431655765 + 1, kMax, 2147483647},              // exactly at the limit
        {1431655764, 1431655764 + 1, kMax, 2147483646},
        {0, 65536, 100 << 20, 65536},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.capacity);
        EXPECT_EQ(NextOutputCapacity(row.capacity, row.required, row.end), row.expected);
    }
}

TEST(LzmaDecoder, BadPayloadsEndInTheDamagedMessage) {
    const Bytes engine = EngineBytes(5000, 64);
    struct Row {
        const char* what;
        std::function<void(PackageRecipe&)> change;
    };
    const Row rows[] = {
        {"properties byte 225", [](PackageRecipe& s) { s.propertiesOverride = Bytes{225, 0, 0, 0x40, 0}; }},
        {"dictionary 2^31", [](PackageRecipe& s) { s.propertiesOverride = Bytes{kDefaultByte, 0, 0, 0, 0x80}; }},
        // lc 3 + lp 2: accepted by the property check, not decodable.
        {"lc + lp = 5", [](PackageRecipe& s) { s.propertiesOverride = Bytes{3 + 9 * 2, 0, 0, 0x40, 0}; }},
        {"unpacked size 2^31", [&](PackageRecipe& s) { s.engine64 = PayloadInput{engine, {}, 0x80000000u}; }},
        {"unpacked size 2^32 - 1", [&](PackageRecipe& s) { s.engine64 = PayloadInput{engine, {}, 0xFFFFFFFFu}; }},
        {"end marker before the unpacked size",
         [&](PackageRecipe& s) {
             s.engine64 = PayloadInput{engine, CompressLzma1(engine, WithMarker(true)), 5100};
         }},
        {"truncated stream",
         [&](PackageRecipe& s) {
             const Bytes packed = CompressLzma1(engine, LzmaSettings{});
             s.engine64 = PayloadInput{engine, Bytes(packed.begin(), packed.end() - packed.size() / 3), {}};
         }},
        {"corrupt stream",
         [&](PackageRecipe& s) {
             Bytes packed = CompressLzma1(engine, LzmaSettings{});
             packed[0] = 0x80;
             s.engine64 = PayloadInput{engine, packed, {}};
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FakeWindows fake;
        const RunOutcome outcome = RunPackage(fake, row.change);
        EXPECT_FALSE(outcome.returnedNormally);
        EXPECT_EQ(outcome.exitCode, kDamaged);
        ASSERT_EQ(fake.messages.size(), 1u);
        EXPECT_EQ(fake.messages[0].text, kDamagedText);
        EXPECT_TRUE(fake.starts.empty());
        EXPECT_EQ(fake.files.size(), 1u) << "no temporary copy";
    }
}

TEST(LzmaDecoder, GoodPayloadsRun) {
    struct Row {
        const char* what;
        Bytes engine;
        std::function<void(PackageRecipe&, const Bytes&)> change;
    };
    const Row rows[] = {
        {"empty engine", Bytes{}, [](PackageRecipe& s, const Bytes& e) { s.engine64 = PayloadInput{e, {}, {}}; }},
        {"end marker right after the engine", EngineBytes(5000, 9),
         [](PackageRecipe& s, const Bytes& e) {
             s.engine64 = PayloadInput{e, CompressLzma1(e, WithMarker(true)), {}};
         }},
        {"dictionary below 4096", EngineBytes(900, 9),
         [](PackageRecipe& s, const Bytes& e) {
             s.engine64 = PayloadInput{e, {}, {}};
             s.engine32 = PayloadInput{EngineBytes(800, 8), {}, {}};
             s.propertiesOverride = Bytes{kDefaultByte, 0xE8, 0x03, 0, 0};  // 1000 bytes
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FakeWindows fake;
        const RunOutcome outcome = RunPackage(fake, [&](PackageRecipe& s) { row.change(s, row.engine); });
        EXPECT_TRUE(outcome.returnedNormally);
        EXPECT_TRUE(fake.messages.empty());
        ASSERT_EQ(fake.starts.size(), 1u);
        // The copy is deleted after the run; its bytes are checked elsewhere.
    }
}

}  // namespace
