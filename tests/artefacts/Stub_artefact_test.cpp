// Checks of the shipped launcher executables themselves: what kind of image
// they are, where their PE header sits, what they import, what their
// manifest says, how big they are.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "PeImage.h"
#include "StubTypes/StubTypes.h"

namespace {

struct StubCase {
    const char* name;
    const char* path;
    uint16_t machine;
    bool pe32Plus;
};

const StubCase kStubs[] = {
    {"stub32", STUB32_PATH, 0x14c, false},
    {"stub64", STUB64_PATH, 0x8664, true},
};

// Windows always loads these from its own folder (KnownDLLs), so a planted
// copy beside a downloaded package is never picked up.
const char* const kAllowedImports[] = {"kernel32.dll", "user32.dll", "advapi32.dll", "shell32.dll", "msvcrt.dll"};

std::vector<uint8_t> Load(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

class StubArtefact : public ::testing::TestWithParam<StubCase> {
protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::exists(GetParam().path))
            << GetParam().path << " is missing: build the win32 and win64 presets first";
        image = Load(GetParam().path);
        std::string error;
        ASSERT_TRUE(ParsePe(image, info, error)) << error;
    }
    std::vector<uint8_t> image;
    PeInfo info;
};

TEST_P(StubArtefact, IsAGuiImageForItsProcessor) {
    EXPECT_EQ(info.machine, GetParam().machine);
    EXPECT_EQ(info.pe32Plus, GetParam().pe32Plus);
    EXPECT_EQ(info.subsystem, 2) << "not a GUI program: a console window would flash up";
    EXPECT_FALSE(info.characteristics & 0x2000) << "a DLL, not a program";
}

// The engine is decoded in memory beside its packed bytes; a 32-bit process
// without this flag has 2 GB of address space on 64-bit Windows instead of
// 4 GB, and runs out on engines the package format allows.
TEST_P(StubArtefact, IsLargeAddressAware) {
    EXPECT_TRUE(info.characteristics & 0x0020) << "no IMAGE_FILE_LARGE_ADDRESS_AWARE";
}

TEST_P(StubArtefact, KeepsAddressRandomisationAndDataExecutionPrevention) {
    // A launcher that may run elevated must not give these up; a change of
    // toolchain or linker flags could drop them silently.
    EXPECT_TRUE(info.dllCharacteristics & 0x0040) << "no DYNAMIC_BASE (ASLR)";
    EXPECT_TRUE(info.dllCharacteristics & 0x0100) << "no NX_COMPAT (DEP)";
    if (GetParam().pe32Plus) {
        EXPECT_TRUE(info.dllCharacteristics & 0x0020) << "no HIGH_ENTROPY_VA";
    }
}

TEST_P(StubArtefact, PeHeaderAt256LeavesTheLocatorBytesFree) {
    EXPECT_EQ(info.peOffset, kPeHeaderOffset);
    for (uint32_t i = kLocatorOffset; i < kLocatorOffset + kLocatorSize; ++i)
        ASSERT_EQ(image[i], 0) << "byte " << i;
    EXPECT_EQ(info.imageEnd, image.size()) << "bytes after the last section: the package would not follow the image";
}

TEST_P(StubArtefact, ImportsOnlyLibrariesWindowsTakesFromItsOwnFolder) {
    ASSERT_FALSE(info.importedLibraries.empty());
    for (const std::string& library : info.importedLibraries) {
        const auto* end = std::end(kAllowedImports);
        EXPECT_NE(std::find(std::begin(kAllowedImports), end, Lower(library)), end)
            << library << " is imported statically; load it by full system path at run time";
    }
}

TEST_P(StubArtefact, ManifestAsksForNoElevationAndDeclaresItsWindows) {
    const std::string& m = info.manifest;
    ASSERT_FALSE(m.empty()) << "no RT_MANIFEST resource 1";
    EXPECT_NE(m.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_EQ(m.find("requireAdministrator"), std::string::npos);
    EXPECT_NE(m.find("<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true</dpiAware>"),
              std::string::npos);
    // An application manifest is documented to need the program's identity.
    EXPECT_NE(m.find("<assemblyIdentity type=\"win32\" name=\"SetupPackage.Launcher\" version=\"1.0.0.0\"/>"),
              std::string::npos);
    // Vista, 7, 8, 8.1 and 10: without the last two, Windows 8.1 and 10 report 6.2.
    for (const char* id : {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                           "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                           "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
        EXPECT_NE(m.find(std::string("<supportedOS Id=\"") + id + "\"/>"), std::string::npos) << id;
}

TEST_P(StubArtefact, CarriesNoCxxRuntimeErrorMachinery) {
    // Exceptions and demangling would multiply the stub's size; their
    // telltale strings must not be in the image.
    const std::string text(image.begin(), image.end());
    for (const char* marker : {"St9exception", "__gxx_personality", "terminate called", "basic_string"})
        EXPECT_EQ(text.find(marker), std::string::npos) << marker;
}

// The stored checksum is the image's own (the post-link step moves the PE
// header, after which the linker's would be stale).
TEST_P(StubArtefact, ChecksumIsTheImagesOwn) {
    const uint64_t field = PeChecksumFieldOffset(image.data(), image.size());
    ASSERT_NE(field, 0u);
    PeChecksum sum(field);
    sum.Add(image.data(), image.size());
    EXPECT_EQ(info.checkSum, sum.Finish());
}

// Every byte ships in every package: the launcher stays within 34 KiB.
TEST_P(StubArtefact, FitsIn34KiB) {
    EXPECT_LE(image.size(), 34816u) << "see the Size section of README.md for what was done to fit";
}

TEST_P(StubArtefact, ReportsItsSize) {
    // A figure, not a limit: the size is recorded with every test run.
    RecordProperty("bytes", static_cast<int>(image.size()));
    std::printf("%s: %zu bytes (%.1f KiB)\n", GetParam().name, image.size(), image.size() / 1024.0);
    for (const PeSection& s : info.sections) std::printf("  %-8s %6u bytes\n", s.name.c_str(), s.rawSize);
}

INSTANTIATE_TEST_SUITE_P(Launchers, StubArtefact, ::testing::ValuesIn(kStubs),
                         [](const auto& info) { return std::string(info.param.name); });

// The post-link step must refuse what it cannot move safely.
TEST(PeHeaderMove, RefusesRatherThanCorrupts) {
    std::vector<uint8_t> image = Load(STUB64_PATH);
    ASSERT_FALSE(image.empty());
    std::string error;
    // Moving it back to 128 and then to 256 again gives the same image.
    std::vector<uint8_t> moved = image;
    ASSERT_TRUE(MovePeHeader(moved, 128, error)) << error;
    ASSERT_TRUE(MovePeHeader(moved, 256, error)) << error;
    EXPECT_EQ(moved, image);
    // A place where the headers would run into the first section is refused
    // and the image is left as it was.
    std::vector<uint8_t> untouched = image;
    EXPECT_FALSE(MovePeHeader(untouched, 900, error));
    EXPECT_EQ(untouched, image);
    // A stray byte where the moved block would land (beyond the old block)
    // is refused too: it could be data of the image's own.
    std::vector<uint8_t> atOld = image;
    ASSERT_TRUE(MovePeHeader(atOld, 128, error)) << error;
    PeInfo info;
    ASSERT_TRUE(ParsePe(atOld, info, error));
    atOld[128 + info.headerBlockSize + 10] = 0x77;
    const std::vector<uint8_t> before = atOld;
    EXPECT_FALSE(MovePeHeader(atOld, 256, error));
    EXPECT_EQ(atOld, before);
}

}  // namespace
