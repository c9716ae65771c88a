// mkpackage.exe, the builder for vendors who build on Windows, under Wine:
// a package built from files in a folder with non-ASCII characters and
// spaces verifies and runs on stub32.exe; signed with osslsigncode it still
// verifies with mkpackage.exe and runs; cmake --install puts it in bin/.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>

#include "TestPackages.h"
#include "WineHarness.h"

namespace e2e {
namespace {

const fs::path kMkpackageExe = fs::path(ENGINE64_PATH).parent_path().parent_path().parent_path() / "mkpackage.exe";

int Sh(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class MkpackageExe : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(kMkpackageExe)) << kMkpackageExe << " is missing: build the win64 preset";
        EnsurePrefix();
    }
    // Runs mkpackage.exe with Windows paths; returns its output.
    std::string Mk(const std::vector<std::string>& args, int expectedExit = 0) {
        int code = -1;
        const std::string out = RunConsoleProgram(kMkpackageExe, args, &code);
        std::string line = "mkpackage.exe";
        for (const std::string& a : args) line += " " + a;
        EXPECT_EQ(code, expectedExit) << line << "\n" << out;
        return out;
    }
};

TEST_F(MkpackageExe, BuildsFromANonAsciiFolderAndThePackageRunsOnStub32) {
    const fs::path folder = TestFolder() / "Pakete für Üñïcode";
    fs::create_directories(folder);
    fs::copy_file(Engine32Path(), folder / "engine ü 32.exe");
    fs::copy_file(Engine64Path(), folder / "engine ü 64.exe");
    const fs::path package = folder / "Setup für Ü.exe";
    std::string out = Mk({"build", "--engine32", WinePath(folder / "engine ü 32.exe"), "--engine64",
                          WinePath(folder / "engine ü 64.exe"), "--allow", "all", "--unsupported-text",
                          "Läuft nicht auf %USER%.", "-o", WinePath(package)});
    EXPECT_NE(out.find(WinePath(package) + ": "), std::string::npos) << "the name came out changed:\n" << out;
    ASSERT_TRUE(fs::exists(package));
    // No temporary file stays behind.
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(folder)) files += entry.is_regular_file();
    EXPECT_EQ(files, 3u);

    out = Mk({"verify", WinePath(package)});
    EXPECT_NE(out.find(WinePath(package) + ": OK"), std::string::npos) << out;
    out = Mk({"inspect", WinePath(package)});
    EXPECT_NE(out.find("\"Läuft nicht auf %USER%.\""), std::string::npos) << out;
    EXPECT_NE(out.find("the built-in stub32.exe, byte for byte"), std::string::npos) << out;

    // The same package as the Linux mkpackage would build, and it runs.
    fs::create_directories(folder / "temp");
    const WineRun run = Launch(package, "/temp \"" + WinePath(folder / "temp") + "\" \"ein Argument\"");
    ASSERT_TRUE(run.exited) << run.output << run.errors.substr(0, 2000);
    EXPECT_EQ(run.exitCode, 0u);
    const auto report = ReadReport(package);
    ASSERT_FALSE(report.empty()) << "the engine did not run";
    EXPECT_EQ(report.at("bits"), "64");
    EXPECT_NE(report.at("commandline").find("\"" + WinePath(package) + "\" /temp \"" + WinePath(folder / "temp") +
                                            "\" \"ein Argument\""),
              std::string::npos)
        << report.at("commandline");

    // extract gives the engine back, byte for byte.
    Mk({"extract", WinePath(package), "--engine32", "-o", WinePath(folder / "zurück.exe")});
    EXPECT_EQ(ReadFile(folder / "zurück.exe"), ReadFile(Engine32Path()));
}

TEST_F(MkpackageExe, SignedWithOsslsigncodeStillVerifiesAndRuns) {
    const fs::path folder = TestFolder();
    const fs::path package = folder / "setup.exe", signedPackage = folder / "setup-signed.exe";
    Mk({"build", "--engine32", WinePath(Engine32Path()), "--engine64", WinePath(Engine64Path()), "--allow", "all",
        "--version-info", "CompanyName=Example Ltd", "-o", WinePath(package)});
    const std::string key = (folder / "key.pem").string(), cert = (folder / "cert.pem").string();
    ASSERT_EQ(Sh("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=Example-Test-Vendor -keyout '" + key +
                 "' -out '" + cert + "'"),
              0);
    ASSERT_EQ(Sh("osslsigncode sign -certs '" + cert + "' -key '" + key + "' -in '" + package.string() + "' -out '" +
                 signedPackage.string() + "'"),
              0);
    const std::string out = Mk({"verify", WinePath(signedPackage)});
    EXPECT_NE(out.find(": OK"), std::string::npos) << out;
    EXPECT_EQ(out.find("warning"), std::string::npos) << out;
    fs::create_directories(folder / "temp");
    const WineRun run = Launch(signedPackage, "/temp " + WinePath(folder / "temp") + " /exit=9");
    EXPECT_EQ(run.exitCode, 9u) << run.output;
}

TEST_F(MkpackageExe, CmakeInstallPutsItInBin) {
    const fs::path prefix = TestFolder() / "prefix";
    const fs::path build = kMkpackageExe.parent_path();
    ASSERT_EQ(Sh("cmake --install '" + build.string() + "' --prefix '" + prefix.string() + "'"), 0);
    ASSERT_TRUE(fs::exists(prefix / "bin" / "mkpackage.exe"));
    const std::string out = Mk({"--version"});
    EXPECT_NE(out.find("built-in launcher stub32.exe"), std::string::npos) << out;
    int code = -1;
    EXPECT_EQ(RunConsoleProgram(prefix / "bin" / "mkpackage.exe", {"--version"}, &code), out);
    EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace e2e
