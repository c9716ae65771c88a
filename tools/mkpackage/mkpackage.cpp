// mkpackage: builds, inspects, verifies and unpacks setup packages, that is
// launcher stubs with a package appended.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "Commands.h"
#include "EmbeddedLaunchers.h"
#include "HostFiles.h"
#include "Options.h"
#include "PackageCheck.h"
#include "Sha256.h"
#include "TerminalText.h"

#ifndef MKPACKAGE_VERSION
#define MKPACKAGE_VERSION "1.0.0"
#endif

namespace {

const char* const kToolHelp = R"(usage: mkpackage COMMAND [options]

Makes and examines self-contained Windows setup packages: a launcher (the
32-bit or 64-bit one built into mkpackage, or a stub file of your own) with
one or two LZMA-packed setup engines, the Windows versions allowed, two
message texts and optional engine data appended; the launcher can carry your
icon and version information.

Commands:
  build     make a package from a stub and engines
  inspect   show the locator and header of a package in words (or --json)
  verify    make every check the launcher makes before it starts an engine
  extract   write a package's decoded 32-bit or 64-bit engine to a file

  mkpackage COMMAND --help   options and examples of one command
  mkpackage --version, -V    the version of this tool and of the launchers in it

The usual order: build, verify, sign (signing appends a certificate table,
which the launcher accepts); never change or append to a package after
signing it.  Where a file is read, - is standard input; where one is
written, standard output.  "--" ends the options.

  mkpackage build --engine32 setup32.exe --engine64 setup64.exe \
      --allow 7,8,8.1,10,11,later --unsupported-text "Not for %USER%." -o MySetup.exe
  mkpackage verify MySetup.exe
  osslsigncode sign -certs cert.pem -key key.pem -in MySetup.exe -out MySetup-signed.exe
  mkpackage verify MySetup-signed.exe
  mkpackage inspect MySetup-signed.exe

Exit codes: 0 success, 1 a failed check or unusable input (or output that
could not be written), 2 a usage error.
)";

void PrintVersion(std::ostream& out) {
    out << "mkpackage " << MKPACKAGE_VERSION << "\n";
    bool any = false;
    for (bool x64 : {false, true}) {
        const EmbeddedLauncher* launcher = BuiltInLauncher(x64);
        if (!launcher) continue;
        any = true;
        out << "built-in launcher " << launcher->name << ": " << CountText(launcher->size, "byte", "bytes")
            << ", SHA-256 " << Sha256Hex(launcher->data, launcher->size) << "\n";
    }
    if (!any) out << "no built-in launchers: every build needs --stub FILE\n";
}

}  // namespace

int RunMkpackage(const std::vector<std::string>& args, Console& console) {
    if (args.empty()) {
        console.err << kToolHelp;
        return kExitUsage;
    }
    const std::string& command = args[0];
    if (command == "-h" || command == "--help" || command == "help") {
        if (command == "help" && args.size() > 1) return RunMkpackage({args[1], "--help"}, console);
        console.out << kToolHelp;
        return kExitOk;
    }
    if (command == "--version" || command == "-V") {
        if (args.size() > 1) {
            PrintLine(console.err, "mkpackage: " + command + " takes no arguments, not '" + args[1] + "'");
            return kExitUsage;
        }
        PrintVersion(console.out);
        return kExitOk;
    }
    int (*run)(const std::vector<std::string>&, Console&) = nullptr;
    if (command == "build") run = RunBuild;
    else if (command == "inspect") run = RunInspect;
    else if (command == "verify") run = RunVerify;
    else if (command == "extract") run = RunExtract;
    if (!run) {
        PrintLine(console.err, "mkpackage: unknown command '" + command +
                                   "' (build, inspect, verify, extract; see mkpackage --help)");
        return kExitUsage;
    }
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    // Every message is one line; the names and values in it are the user's
    // and are shown escaped.
    try {
        return run(rest, console);
    } catch (const UsageError& e) {
        PrintLine(console.err, "mkpackage " + command + ": " + e.what());
        console.err << "(see mkpackage " << command << " --help)\n";
        return kExitUsage;
    } catch (const Failure& e) {
        PrintLine(console.err, "mkpackage " + command + ": " + e.what());
        return kExitFailure;
    } catch (const std::bad_alloc&) {
        console.err << "mkpackage " << command << ": out of memory\n";
        return kExitFailure;
    } catch (const std::exception& e) {
        PrintLine(console.err, "mkpackage " + command + ": " + e.what());
        return kExitFailure;
    }
}

int RunMkpackageToStandardStreams(const std::vector<std::string>& args) {
    Console console{std::cout, std::cerr, IsTerminal(StandardStream::kError)};
    int code = RunMkpackage(args, console);
    // Results that never arrived (a full disk, a closed pipe or stdout) are
    // a failure, not a success with nothing to show.
    errno = 0;
    std::cout.flush();
    if (!std::cout || std::fflush(stdout) != 0 || std::ferror(stdout)) {
        const int error = errno;
        std::cerr << "mkpackage: cannot write to standard output"
                  << (error ? std::string(": ") + std::strerror(error) : std::string()) << "\n";
        if (code == kExitOk) code = kExitFailure;
    }
    return code;
}

#ifndef MKPACKAGE_NO_MAIN
#ifdef _WIN32
// The UTF-16 command line, so that every file name arrives whole, whatever
// the system's ANSI code page.
int wmain(int argc, wchar_t** argv) {
    std::ios::sync_with_stdio(false);
    HandleInterruptions();
    PrepareStandardStreams();
    return RunMkpackageToStandardStreams(Utf8Arguments(argc, argv));
}
#else
int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    HandleInterruptions();
    PrepareStandardStreams();
    return RunMkpackageToStandardStreams(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
#endif
