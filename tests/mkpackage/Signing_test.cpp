// Signed packages: build first, sign last.  The launcher, verify and inspect
// accept the certificate table after the package; bytes written after it
// are reported, since the signature no longer covers them.
#include <cstdlib>

#include "CliRunner.h"
#include "TestPackages.h"

using namespace mk;

namespace {

class Signing : public MkpackageTest {};

// Build, then sign: the launcher (and verify) accept the certificate table
// after the package, inspect reports it, and the signature itself holds.
TEST_F(Signing, SignedPackageStillVerifies) {
    if (std::system("command -v openssl >/dev/null 2>&1 && command -v osslsigncode >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "openssl or osslsigncode is missing";
    RunResult r = Mk({"build", "--stub", stub, "--engine64", stub, "--allow", "all", "--unsupported-text",
                      "Not for %USER%.", "-o", File("pkg.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const uint64_t built = fs::file_size(File("pkg.exe"));
    const std::string d = dir.string();
    const std::string make = "cd '" + d + "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem"
                             " -days 2 -subj /CN=mkpackage-test >/dev/null 2>&1 && osslsigncode sign -certs cert.pem"
                             " -key key.pem -in pkg.exe -out signed.exe >/dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0);
    const uint64_t signedSize = fs::file_size(File("signed.exe"));
    ASSERT_GT(signedSize, built);

    r = Mk({"verify", File("signed.exe")});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    r = Mk({"inspect", File("signed.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, std::to_string(signedSize - built) + " bytes after the package (a signature?)"))
        << r.out;
    EXPECT_TRUE(Contains(r.out, "signature          certificate table of")) << r.out;
    EXPECT_FALSE(Contains(r.out, "INSIDE the package")) << r.out;

    const std::string check = "cd '" + d + "' && osslsigncode verify -CAfile cert.pem signed.exe >/dev/null 2>&1";
    EXPECT_EQ(std::system(check.c_str()), 0);

    // The signed file is no stub for another package.
    r = Mk({"build", "--stub", File("signed.exe"), "--engine64", stub, "--allow", "all", "-o", File("again.exe")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(fs::exists(File("again.exe")));
}

// ---------------------------------------------------------------------------
// Bytes after the certificate table: the launcher accepts them, but the
// signature no longer covers the file.

TEST_F(Signing, BytesAfterTheCertificateTableAreReported) {
    if (std::system("command -v openssl >/dev/null 2>&1 && command -v osslsigncode >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "openssl or osslsigncode is missing";
    RunResult r = Mk({"build", "--stub", stub, "--engine64", stub, "--allow", "all", "--wrong-width-text", "w",
                      "-o", File("pkg.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string sign = "cd '" + dir.string() +
                             "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem"
                             " -days 2 -subj /CN=mkpackage-test >/dev/null 2>&1 && osslsigncode sign -certs cert.pem"
                             " -key key.pem -in pkg.exe -out signed.exe >/dev/null 2>&1";
    ASSERT_EQ(std::system(sign.c_str()), 0);
    const Bytes signedFile = ReadBytes(File("signed.exe")), unsignedFile = ReadBytes(File("pkg.exe"));

    const struct {
        const char* name;
        const Bytes* file;
        size_t appended;
        const char* warning;  // nullptr: none
    } cases[] = {
        {"signed.exe", &signedFile, 0, nullptr},
        {"one.exe", &signedFile, 1, "1 byte after the certificate table: the signature no longer covers the file"},
        {"more.exe", &signedFile, 4096, "4096 bytes after the certificate table: the signature no longer covers"},
        // Bytes after an unsigned package are no signature's business.
        {"unsigned.exe", &unsignedFile, 4096, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = *c.file;
        bytes.resize(bytes.size() + c.appended, 0x5A);
        const std::string path = Put(c.name, bytes);
        r = Mk({"verify", path});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        const RunResult text = Mk({"inspect", path}), json = Mk({"inspect", "--json", path});
        EXPECT_EQ(text.exitCode, 0) << text.err;
        EXPECT_EQ(json.exitCode, 0) << json.err;
        if (c.warning) {
            EXPECT_TRUE(Contains(r.err, std::string("mkpackage: warning: ") + c.warning)) << r.err;
            EXPECT_TRUE(Contains(text.out, std::string("warning: ") + c.warning)) << text.out;
            EXPECT_TRUE(Contains(json.out, std::string("\"warnings\": [\"") + c.warning)) << json.out;
        } else {
            EXPECT_FALSE(Contains(r.err, "warning")) << r.err;
            EXPECT_FALSE(Contains(text.out, "warning")) << text.out;
            EXPECT_TRUE(Contains(json.out, "\"warnings\": []")) << json.out;
        }
    }
}

}  // namespace
