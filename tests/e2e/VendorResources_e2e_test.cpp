// A vendor's package with its own icon and version information, built with
// the mkpackage command line: Windows reads both back (GetFileVersionInfoW,
// VerQueryValueW, ExtractIconExW under Wine), and the package still runs on
// stub32.exe, signs and verifies.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <sstream>

#include "TestPackages.h"
#include "WineHarness.h"

namespace e2e {
namespace {

int Sh(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::map<std::string, std::string> Lines(const std::string& text) {
    std::map<std::string, std::string> values;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

const fs::path kReader = fs::path(ENGINE64_PATH).parent_path() / "resource-reader.exe";

TEST(VendorResources, WindowsReadsThemAndThePackageStillRunsSignsAndVerifies) {
    const fs::path folder = TestFolder();
    // An icon as a vendor's tools make one: ImageMagick, four sizes, the
    // largest as PNG.
    const fs::path icon = folder / "product.ico";
    ASSERT_EQ(Sh("/usr/bin/convert -size 64x64 xc:navy -fill gold -draw 'circle 32,32 32,8' '" +
                 (folder / "art.png").string() + "' && /usr/bin/convert '" + (folder / "art.png").string() +
                 "' -define icon:auto-resize=256,48,32,16 '" + icon.string() + "'"),
              0)
        << "ImageMagick could not make an icon (scripts/setup.sh installs imagemagick)";

    const fs::path package = folder / "setup.exe";
    const std::string build = std::string("'") + MKPACKAGE_PATH + "' build --engine32 '" + Engine32Path().string() +
                              "' --engine64 '" + Engine64Path().string() + "' --allow all --icon '" +
                              icon.string() +
                              "' --version-info 'CompanyName=Example Ltd' --version-info 'FileDescription=Example "
                              "Setup' --version-info FileVersion=2.1.0.7 --version-info ProductVersion=2.1 "
                              "--version-info 'ProductName=Beispiel Grüße' --version-info 'LegalCopyright=© 2026 "
                              "Example Ltd' --version-info OriginalFilename=setup.exe -o '" +
                              package.string() + "'";
    ASSERT_EQ(Sh(build), 0) << build;

    const std::map<std::string, std::string> expected = {
        {"version.CompanyName", "Example Ltd"},
        {"version.FileDescription", "Example Setup"},
        {"version.FileVersion", "2.1.0.7"},
        {"version.ProductVersion", "2.1"},
        {"version.ProductName", "Beispiel Grüße"},
        {"version.LegalCopyright", "© 2026 Example Ltd"},
        {"version.OriginalFilename", "setup.exe"},
        {"fileversion", "2.1.0.7"},
        {"productversion", "2.1.0.0"},
        {"icons", "1"},
        {"largeicon", "32x32"},
        {"smallicon", "16x16"},
    };
    auto readBack = [&](const fs::path& file) {
        int code = -1;
        const std::string out = RunConsoleProgram(kReader, {WinePath(file)}, &code);
        EXPECT_EQ(code, 0) << out;
        const auto values = Lines(out);
        for (const auto& [key, value] : expected) {
            ASSERT_TRUE(values.count(key)) << key << " missing:\n" << out;
            EXPECT_EQ(values.at(key), value) << key;
        }
    };
    readBack(package);

    // It still runs: the 64-bit engine, chosen by stub32.exe under WOW64.
    fs::create_directories(folder / "temp");
    WineRun run = Launch(package, "/temp " + WinePath(folder / "temp") + " /exit=5");
    EXPECT_EQ(run.exitCode, 5u) << run.output << run.errors.substr(0, 2000);
    EXPECT_TRUE(run.messages.empty());
    EXPECT_EQ(ReadReport(package)["bits"], "64");

    // Signed, it verifies (osslsigncode's own check and mkpackage's) and
    // still runs and shows the same resources.
    const std::string key = (folder / "key.pem").string(), cert = (folder / "cert.pem").string();
    ASSERT_EQ(Sh("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=Example-Test-Vendor -keyout '" + key +
                 "' -out '" + cert + "'"),
              0);
    const fs::path signedPackage = folder / "setup-signed.exe";
    ASSERT_EQ(Sh("osslsigncode sign -certs '" + cert + "' -key '" + key + "' -n 'Example Setup' -in '" +
                 package.string() + "' -out '" + signedPackage.string() + "'"),
              0);
    EXPECT_EQ(Sh("osslsigncode verify -CAfile '" + cert + "' -in '" + signedPackage.string() + "'"), 0);
    EXPECT_EQ(Sh(std::string("'") + MKPACKAGE_PATH + "' verify '" + signedPackage.string() + "'"), 0);
    readBack(signedPackage);
    run = Launch(signedPackage, "/temp " + WinePath(folder / "temp") + " /exit=6");
    EXPECT_EQ(run.exitCode, 6u) << run.output;
    EXPECT_TRUE(run.messages.empty());
}

}  // namespace
}  // namespace e2e
