// disckit: checks a launcher disc before it is pressed, simulates what the launcher does on it on
// any Windows version and language, runs a real trial of it under Wine, and builds the finished
// disc from an author's folder.
#include <iostream>

#include "kit/Help.h"
#include "kit/Verbs.h"
#include "kit/common/Utf8.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

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

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

}  // namespace

int main(int argc, char** argv) {
    const Args all = Arguments(argc, argv);
    if (all.empty()) {
        WriteUsage(std::cerr);
        return kExitUsage;
    }
    const std::string first = all[0];
    if (first == "--version" && all.size() == 1) {
        std::cout << "disckit " << DisckitVersion() << '\n';
        return kExitClean;
    }
    // Not for people: the build writes the manual page and the completion with these, so that
    // both come from the tables the --help texts come from.
    if (first == "--manual-page" && all.size() == 1) {
        WriteManualPage(std::cout);
        return kExitClean;
    }
    if (first == "--bash-completion" && all.size() == 1) {
        WriteBashCompletion(std::cout);
        return kExitClean;
    }
    if ((IsHelp(first) || first == "help") && all.size() <= 2) {
        if (all.size() == 1) {
            WriteHelp(std::cout);
            return kExitClean;
        }
        if (const VerbHelp* verb = FindVerb(all[1])) {
            WriteVerbHelp(*verb, std::cout);
            return kExitClean;
        }
        std::cerr << "disckit: no verb '" << EscapeControls(all[1]) << "'\n";
        WriteUsage(std::cerr);
        return kExitUsage;
    }
    if (first == "--version" || first == "--manual-page" || first == "--bash-completion") {
        std::cerr << "disckit: " << first << " takes nothing after it\n";
        WriteUsage(std::cerr);
        return kExitUsage;
    }
    const VerbHelp* verb = FindVerb(first);
    if (!verb) {
        std::cerr << "disckit: " << (first.compare(0, 1, "-") == 0 ? "unknown option '"
                                                                   : "unknown verb '")
                  << EscapeControls(first) << "'\n";
        WriteUsage(std::cerr);
        return kExitUsage;
    }
    const Args rest(all.begin() + 1, all.end());
    // --help or -h anywhere among a verb's arguments: answered here for every verb, so that no
    // verb's parser needs to know it.
    for (const std::string& arg : rest) {
        if (IsHelp(arg)) {
            WriteVerbHelp(*verb, std::cout);
            return kExitClean;
        }
    }
    return verb->run(rest, std::cout, std::cerr);
}
