// Vendors sign the finished package.  The signature is appended after the
// package (the certificate table), so a signed package must still pass the
// launcher's checks and run.  Signed in the build (mkpackage build
// --sign-command), the engines inside are signed too: the file a standard
// user's elevation prompt names is the engine's copy.
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

// A self-signed certificate and its key, made for the test.
void MakeThrowawayCertificate(const std::string& key, const std::string& cert) {
    if (Sh("command -v osslsigncode") != 0 || Sh("command -v openssl") != 0)
        FAIL() << "osslsigncode or openssl missing (scripts/setup.sh installs them)";
    ASSERT_EQ(Sh("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=Throwaway-Test-Vendor -keyout '" + key +
                 "' -out '" + cert + "'"),
              0);
}

class SignedPackage : public ::testing::TestWithParam<const LauncherBuild*> {};

TEST_P(SignedPackage, RunsUnderWineAndVerifies) {
    const fs::path folder = TestFolder();
    const std::string key = (folder / "key.pem").string(), cert = (folder / "cert.pem").string();
    ASSERT_NO_FATAL_FAILURE(MakeThrowawayCertificate(key, cert));

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

// One build with osslsigncode as the sign command: the package and both
// engines in it verify, the engines given are unchanged, and the package
// runs on stub32.exe for each user, a standard user's silent run asking the
// shell for "runas" on the signed engine's copy.
class SignedInTheBuild : public WineTest, public ::testing::WithParamInterface<User> {};

TEST_P(SignedInTheBuild, RunsOnStub32) {
    const fs::path folder = TestFolder();
    const std::string key = (folder / "key.pem").string(), cert = (folder / "cert.pem").string();
    ASSERT_NO_FATAL_FAILURE(MakeThrowawayCertificate(key, cert));
    const fs::path engine32 = folder / "setup32.exe", engine64 = folder / "setup64.exe";
    fs::copy_file(Engine32Path(), engine32);
    fs::copy_file(Engine64Path(), engine64);
    const fs::path package = folder / "setup.exe";
    const std::string mkpackage = std::string("'") + MKPACKAGE_PATH + "'";
    ASSERT_EQ(Sh(mkpackage + " build --engine32 '" + engine32.string() + "' --engine64 '" + engine64.string() +
                 "' --allow all --elevation runas --sign-command \"osslsigncode sign -certs '" + cert + "' -key '" + key +
                 "' -n 'Test setup' -in {in} -out {out}\" -o '" + package.string() + "'"),
              0);
    EXPECT_EQ(ReadFile(engine32), ReadFile(Engine32Path())) << "the engine given was changed";
    EXPECT_EQ(ReadFile(engine64), ReadFile(Engine64Path())) << "the engine given was changed";
    for (const char* width : {"32", "64"}) {
        const std::string extracted = (folder / (std::string("x") + width + ".exe")).string();
        ASSERT_EQ(Sh(mkpackage + " extract '" + package.string() + "' --engine" + width + " -o '" + extracted + "'"), 0);
        EXPECT_EQ(Sh("osslsigncode verify -CAfile '" + cert + "' -in '" + extracted + "'"), 0) << "engine" << width;
    }
    EXPECT_EQ(Sh("osslsigncode verify -CAfile '" + cert + "' -in '" + package.string() + "'"), 0);
    EXPECT_EQ(Sh(mkpackage + " verify '" + package.string() + "' 2>&1 | grep -q warning"), 1) << "verify warned";

    LaunchOptions options;
    options.user = GetParam();
    const WineRun run = Launch(package, "/s /exit=7", options);
    ASSERT_TRUE(run.exited) << run.output << run.errors.substr(0, 2000);
    EXPECT_EQ(run.exitCode, 7u) << run.output;
    EXPECT_TRUE(run.messages.empty()) << run.messages[0].text;
    const auto report = ReadReport(package);
    ASSERT_FALSE(report.empty()) << "the engine did not run";
    EXPECT_EQ(report.at("bits"), "64");
    if (GetParam() == User::StandardUser) {
        ASSERT_EQ(run.shellCalls.size(), 1u) << run.errors.substr(0, 2000);
        EXPECT_EQ(run.shellCalls[0].verb, "runas");
        EXPECT_EQ(run.shellCalls[0].file, report.at("self"));
        EXPECT_EQ(report.at("admin"), "no");
    } else {
        EXPECT_TRUE(run.shellCalls.empty());
        EXPECT_EQ(report.at("admin"), "yes");
    }
}

INSTANTIATE_TEST_SUITE_P(Users, SignedInTheBuild, ::testing::Values(User::StandardUser, User::Administrator),
                         [](const auto& info) { return std::string(NameOf(info.param)); });

}  // namespace
}  // namespace e2e
