// mkpackage.exe itself, the file: its manifest.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "PeImage.h"

namespace {

TEST(MkpackageExe, ManifestDeclaresLongPathsAndAsksForNoElevation) {
    std::ifstream in(MKPACKAGE_EXE_PATH, std::ios::binary);
    ASSERT_TRUE(in) << "mkpackage.exe is not built: " << MKPACKAGE_EXE_PATH;
    const std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    PeInfo info;
    std::string error;
    ASSERT_TRUE(ParsePe(image, info, error)) << error;
    const std::string& m = info.manifest;
    ASSERT_FALSE(m.empty()) << "no RT_MANIFEST resource 1";
    // Paths deeper than MAX_PATH work where the system allows long paths.
    EXPECT_NE(m.find("<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">true</longPathAware>"),
              std::string::npos)
        << m;
    EXPECT_NE(m.find("level=\"asInvoker\""), std::string::npos) << m;
    EXPECT_NE(m.find("<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>"), std::string::npos) << m;
}

}  // namespace
