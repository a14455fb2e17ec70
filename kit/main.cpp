// disckit: checks a launcher disc before it is pressed, simulates what the launcher does on it on
// any Windows version and language, and runs a real trial of it under Wine.
#include <iostream>

#include "kit/Verbs.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

constexpr const char* kUsage =
    "usage: disckit check DIR|IMAGE [--json] [--ignore CODE[,CODE...]] [--min-severity LEVEL]\n"
    "       disckit simulate DIR|IMAGE [--system NAME] [--lang ID] [options] [--json | --matrix]\n"
    "       disckit trial DIR|IMAGE [--system NAME] [--lang ID] [options] [--json]\n"
    "       disckit init DIR [--lang ID[,ID...]]\n";

// The arguments in UTF-8. On Windows the narrow argv is in the ANSI code page, which cannot hold
// every folder name: take the UTF-16 command line instead, and write UTF-8 to the console.
Args Arguments(int argc, char** argv) {
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8);
    int count = 0;
    if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        Args args;
        for (int i = 1; i < count; ++i) {
            const int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
            std::string arg(n > 0 ? static_cast<std::size_t>(n) : 1, '\0');
            if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &arg[0], n, nullptr, nullptr);
            arg.resize(arg.size() - 1);
            args.push_back(arg);
        }
        LocalFree(wide);
        return args;
    }
#endif
    return Args(argv + 1, argv + argc);
}

}  // namespace

int main(int argc, char** argv) {
    const Args all = Arguments(argc, argv);
    if (all.empty() || all[0] == "--help" || all[0] == "-h" || all[0] == "help") {
        (all.empty() ? std::cerr : std::cout) << kUsage;
        return all.empty() ? kExitUsage : kExitClean;
    }
    const std::string verb = all[0];
    const Args rest(all.begin() + 1, all.end());
    if (verb == "check") return RunCheck(rest, std::cout, std::cerr);
    if (verb == "simulate") return RunSimulate(rest, std::cout, std::cerr);
    if (verb == "trial") return RunTrial(rest, std::cout, std::cerr);
    if (verb == "init") return RunInit(rest, std::cout, std::cerr);
    std::cerr << "disckit: unknown verb '" << verb << "'\n" << kUsage;
    return kExitUsage;
}
