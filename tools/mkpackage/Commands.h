// The mkpackage commands.  Each takes the words after its name and returns
// the exit code (0 success, 1 failure of the input or the package, 2 usage);
// what it says goes to out (results) and err (errors, warnings, progress).
#pragma once
#include <ostream>
#include <string>
#include <vector>

struct Console {
    std::ostream& out;
    std::ostream& err;
    bool errIsTerminal = false;  // progress is shown only on a terminal
};

int RunBuild(const std::vector<std::string>& args, Console& console);
int RunInspect(const std::vector<std::string>& args, Console& console);
int RunVerify(const std::vector<std::string>& args, Console& console);
int RunExtract(const std::vector<std::string>& args, Console& console);

// The whole tool: argv[1] is the command.
int RunMkpackage(const std::vector<std::string>& args, Console& console);
// The same on the process's standard streams (UTF-8 arguments), with a
// failed write to standard output turned into exit code 1.
int RunMkpackageToStandardStreams(const std::vector<std::string>& args);

extern const char* const kBuildHelp;
extern const char* const kInspectHelp;
extern const char* const kVerifyHelp;
extern const char* const kExtractHelp;
