// Vendors sign the finished package.  The signature is appended after the
// package (the certificate table), so a signed package must still pass the
// launcher's checks and run.
#include <gtest/gtest.h>

#include <cstdlib>

#include "TestPackages.h"
#include "WineHarness.h"

namespace e2e {
namespace {

int Sh(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SignedPackage : public ::testing::TestWithParam<const LauncherBuild*> {};

TEST_P(SignedPackage, RunsUnderWineAndVerifies) {
    if (Sh("command -v osslsigncode") != 0 || Sh("command -v openssl") != 0)
        FAIL() << "osslsigncode or openssl missing (scripts/setup.sh installs them)";
    const fs::path folder = TestFolder();
    const std::string key = (folder / "key.pem").string(), cert = (folder / "cert.pem").string();
    ASSERT_EQ(Sh("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=Throwaway-Test-Vendor -keyout '" +
                  key + "' -out '" + cert + "'"),
              0);

    const Bytes unsigned_ = BuildPackage(RealRecipe(*GetParam()));
    const fs::path unsignedPath = folder / "unsigned.exe", signedPath = folder / "setup.exe";
    WriteFile(unsignedPath, unsigned_);
    ASSERT_EQ(Sh("osslsigncode sign -certs '" + cert + "' -key '" + key + "' -n 'Test setup' -in '" +
                  unsignedPath.string() + "' -out '" + signedPath.string() + "'"),
              0);
    const Bytes signed_ = ReadFile(signedPath);
    ASSERT_GT(signed_.size(), unsigned_.size()) << "no signature was appended";
    EXPECT_EQ(Sh("osslsigncode verify -CAfile '" + cert + "' -in '" + signedPath.string() + "'"), 0);

    fs::create_directories(folder / "temp");
    const WineRun run = Launch(signedPath, "/temp " + WinePath(folder / "temp") + " /exit=7");
    EXPECT_EQ(run.exitCode, 7u) << run.output;
    EXPECT_TRUE(run.messages.empty()) << run.messages[0].text;
    EXPECT_TRUE(fs::exists(signedPath.string() + ".report"));
}

INSTANTIATE_TEST_SUITE_P(Launchers, SignedPackage, ::testing::Values(&Stub32(), &Stub64()),
                         [](const auto& info) { return info.param->name; });

}  // namespace
}  // namespace e2e
