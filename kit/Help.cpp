#include "kit/Help.h"

#include <ostream>
#include <sstream>
#include <vector>

#include "kit/windows/Languages.h"
#include "kit/windows/Profiles.h"

#ifndef DISCKIT_VERSION
#define DISCKIT_VERSION "unknown"
#endif

namespace {

// --- The tables ------------------------------------------------------------------------------

constexpr ExitHelp kCheckExits[] = {
    {0, "no finding of error level"},
    {1, "at least one error"},
    {2, "the folder could not be checked (no such folder, a bad option); the reason on stderr"},
};
constexpr const char* kCheckExamples[] = {
    "disckit check build/win32/disc\tthe sample disc: one note, about its pre-launch tool",
    "disckit check mydisc --json\tthe same facts for a CI job",
};

constexpr ExitHelp kSimulateExits[] = {
    {0, "the simulation ran, whatever its outcome"},
    {2, "a bad option or no such folder; the reason on stderr"},
};
constexpr const char* kSimulateExamples[] = {
    "disckit simulate build/win32/disc --system 8-x64 --lang de-DE\tGerman Windows 8, 64-bit",
    "disckit simulate build/win32/disc --matrix\tevery system by every language of the disc",
    "disckit simulate mydisc --media writable --json\ta copy on a hard disk, as JSON",
};

constexpr ExitHelp kTrialExits[] = {
    {0, "the browser was left running and the launcher ended with exit code 0"},
    {1, "the trial found a fault (the launcher kept starting the browser, did not end, refused "
        "the system, showed a box, left no browser running, or ended with another code)"},
    {2, "the trial could not run (no Wine, no sandbox, a bad option, a system or language Wine "
        "cannot present, no Start.exe at the disc's root, an --out that is not a new or empty "
        "folder of the user's, a fault of the trial itself); the reason on stderr"},
};
constexpr const char* kTrialExamples[] = {
    "disckit trial build/win32/disc --lang de-DE\tthe sample disc under German Windows 7, 64-bit",
    "disckit trial disc.iso --max-starts 4 --json\tan image as it is, as JSON",
};

constexpr ExitHelp kBuildExits[] = {
    {0, "the disc was made and its check found no error"},
    {1, "the disc was made but its check found an error (an image is then pressed only with "
        "--force)"},
    {2, "nothing was made (a bad option, an --out that is not new or empty, an icon, version, "
        "key or password that is not right); the reason on stderr"},
};
constexpr const char* kBuildExamples[] = {
    "disckit build author --out disc --icon brand.ico --version 4.2.0.17\tbranded, unsigned",
    "disckit build author --out disc --sign-pkcs12 p.p12 --sign-password-file pw --image d.iso"
    "\tsigned and pressed",
};
constexpr ExitHelp kInitExits[] = {
    {0, "the disc was laid out"},
    {2, "DIR is not new or empty, a bad option, or no stock Start.exe beside disckit; the reason "
        "on stderr"},
};
constexpr const char* kInitExamples[] = {
    "disckit init mydisc\ta disc with a folder for every language of the launcher's table",
    "disckit init mydisc --lang de-DE,ja-JP\tthe English, German and Japanese folders only",
};

#define DISCKIT_TABLE(t) t, sizeof t / sizeof t[0]

const VerbHelp kVerbs[] = {
    {"check", "DIR|IMAGE", true, "find a disc's faults before it is pressed",
     "Checks the disc folder DIR, or the ISO 9660 image IMAGE read in place, against the launcher's own names, language table and rules: "
     "every file the launcher uses, under the exact name it uses; each program and library a "
     "32-bit x86 PE image of the right kind whose imports Windows or the disc can satisfy; each "
     "language folder with its marker and start page; autorun.inf; and every name and path "
     "against the ANSI code pages of the languages the launcher knows, MAX_PATH, and what an ISO "
     "9660 image with Joliet names can carry.\n\n"
     "Each finding has a stable code, a severity (error: the disc misbehaves on every supported "
     "system or on some; warning: it may, or does depending on the media; note: worth knowing), "
     "the path concerned and what Start.exe does because of it. Nothing on the disc is run.",
     &kCheckOptions, DISCKIT_TABLE(kCheckExits), DISCKIT_TABLE(kCheckExamples), RunCheck},
    {"simulate", "DIR|IMAGE", true,
     "what the launcher does with a disc on any Windows, in milliseconds",
     "Runs the launcher's own sequence against a simulated Windows made of the disc's real "
     "files (a folder, or an ISO 9660 image read in place) and a described system, without Wine: the folder as the install directory "
     "(never written to), the Windows directory held in memory, a few system processes plus what "
     "the run starts, and a virtual clock that only the launcher's sleeps move.\n\n"
     "The outcome is browser-running, refused, turned-away, loops-forever (the browser never "
     "shows up, so the launcher starts it once a second for ever; the simulation stops once the "
     "passes repeat) or nothing.",
     &kSimulateOptions, DISCKIT_TABLE(kSimulateExits),
     DISCKIT_TABLE(kSimulateExamples), RunSimulate},
    {"trial", "DIR|IMAGE", true, "run the disc's own programs under Wine and watch them",
     "Runs the disc's own Start.exe under Wine as Windows would run it, and watches it from "
     "outside: a folder is pressed into an ISO 9660 image with Joliet names first, an image is "
     "taken as it is, and either goes into a read-only CD-ROM drive D: of a fresh Wine prefix "
     "that an unprivileged account owns. Reported: the processes started and their command "
     "lines, the libraries loaded, message boxes, the files added to the Windows directory, the "
     "registry's changes, what still runs, and screenshots.\n\n"
     "Linux only, as any user: the disc's programs, Wine and its X server run in a bubblewrap "
     "sandbox that sees nothing of the host it could change (run by root, they run as the "
     "account disclab, created when missing). Needs Wine and its 32-bit part, Xvfb, xorriso, "
     "ImageMagick and bubblewrap.",
     &kTrialOptions, DISCKIT_TABLE(kTrialExits), DISCKIT_TABLE(kTrialExamples), RunTrial},
    {"build", "SOURCE", false, "make the finished disc from an author's folder",
     "Makes the finished disc in --out from the author's folder SOURCE (browser, pages, "
     "controls, setup program, probe library, optional pre-launch tool): the kit's stock "
     "Start.exe with the author's icon and version texts (only its resources change), an "
     "autorun.inf that opens it with its icon and the disc's label, and every other file copied "
     "as it is. A Start.exe or autorun.inf in SOURCE is replaced, with a warning.\n\n"
     "Then it signs (Authenticode, SHA-256, with osslsigncode, after every other change), checks "
     "the result as disckit check does, and with --image presses it, unless the check reports "
     "an error. A refusal writes nothing: the disc is made beside --out and renamed into place "
     "at the end.",
     &kBuildOptions, DISCKIT_TABLE(kBuildExits), DISCKIT_TABLE(kBuildExamples), RunBuild},
    {"init", "DIR", false, "lay out a new disc to start from",
     "Lay out a new disc in DIR (new or empty): Start.exe, autorun.inf, LAYOUT.txt, and a "
     "language folder with marker and start page for each language.\n\n"
     "Start.exe is the stock launcher installed with disckit. LAYOUT.txt says what goes where "
     "and what the disc still lacks; disckit check DIR lists the same.",
     &kInitOptions, DISCKIT_TABLE(kInitExits), DISCKIT_TABLE(kInitExamples), RunInit},
};

#undef DISCKIT_TABLE

constexpr std::size_t kWidth = 79;

// Words of text in lines of at most width columns, each started with indent.
void Wrap(std::ostream& out, const std::string& text, const std::string& indent,
          std::size_t width = kWidth, const std::string& first = std::string()) {
    std::istringstream words(text);
    std::string word;
    std::string line = first.empty() ? indent : first;
    bool empty = true;
    while (words >> word) {
        if (!empty && line.size() + 1 + word.size() > width) {
            out << line << '\n';
            line = indent;
            empty = true;
        }
        if (!empty) line += ' ';
        line += word;
        empty = false;
    }
    out << line << '\n';
}

std::vector<std::string> Paragraphs(const std::string& text) {
    std::vector<std::string> paragraphs;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = text.find("\n\n", start);
        paragraphs.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) break;
        start = end + 2;
    }
    return paragraphs;
}

std::string OptionUsage(const OptionRow& option) {
    return option.argument ? std::string(option.name) + " " + option.argument : option.name;
}

// An option's help with its default, which the row holds as data.
std::string OptionText(const OptionRow& option) {
    std::string text = option.help;
    if (option.defaultValue) text += std::string(" Default: ") + option.defaultValue + ".";
    return text;
}

std::pair<std::string, std::string> Example(const char* example) {
    const std::string text = example;
    const std::size_t tab = text.find('\t');
    if (tab == std::string::npos) return {text, std::string()};
    return {text.substr(0, tab), text.substr(tab + 1)};
}

// roff takes a backslash as its escape, a leading dot or quote as a request, and '-' as a
// hyphen that may be typeset as a dash: options must stay copyable.
std::string Roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

}  // namespace

std::size_t VerbCount() { return sizeof kVerbs / sizeof kVerbs[0]; }
const VerbHelp* Verbs() { return kVerbs; }

const VerbHelp* FindVerb(const std::string& name) {
    for (const VerbHelp& verb : kVerbs) {
        if (name == verb.name) return &verb;
    }
    return nullptr;
}

const char* DisckitVersion() { return DISCKIT_VERSION; }

void WriteVerbUsage(const VerbHelp& verb, std::ostream& out) {
    const std::string head = std::string("usage: disckit ") + verb.name + " ";
    std::string words = verb.operand;
    for (const OptionRow& option : *verb.options) {
        // Kept together when wrapped: one bracket is one word.
        std::string usage = OptionUsage(option);
        for (char& c : usage) {
            if (c == ' ') c = '\x01';
        }
        words += " [" + usage + "]";
    }
    std::ostringstream wrapped;
    Wrap(wrapped, words, std::string(head.size(), ' '), kWidth, head);
    std::string text = wrapped.str();
    for (char& c : text) {
        if (c == '\x01') c = ' ';
    }
    out << text;
}

std::string VerbUsage(const char* name) {
    std::ostringstream out;
    if (const VerbHelp* verb = FindVerb(name)) WriteVerbUsage(*verb, out);
    out << "('disckit " << name << " --help' tells what each option does)\n";
    return out.str();
}

void WriteUsage(std::ostream& out) {
    for (const VerbHelp& verb : kVerbs) {
        out << (&verb == kVerbs ? "usage: " : "       ") << "disckit " << verb.name << ' '
            << verb.operand << " [options]\n";
    }
    out << "       disckit help [VERB] | disckit VERB --help | disckit --version\n";
}

void WriteVerbHelp(const VerbHelp& verb, std::ostream& out) {
    WriteVerbUsage(verb, out);
    out << '\n';
    for (const std::string& paragraph : Paragraphs(verb.description)) {
        Wrap(out, paragraph, "");
        out << '\n';
    }
    out << "Options:\n";
    for (const OptionRow& option : *verb.options) {
        out << "  " << OptionUsage(option) << '\n';
        Wrap(out, OptionText(option), "      ");
    }
    out << "  --help, -h\n      Write this help and exit.\n\nExit status:\n";
    for (std::size_t i = 0; i < verb.exitCount; ++i) {
        Wrap(out, verb.exits[i].meaning, "      ", kWidth,
             "  " + std::to_string(verb.exits[i].code) + "   ");
    }
    out << "\nExamples:\n";
    for (std::size_t i = 0; i < verb.exampleCount; ++i) {
        const auto example = Example(verb.examples[i]);
        out << "  " << example.first << '\n';
        if (!example.second.empty()) Wrap(out, example.second, "      ");
    }
}

void WriteHelp(std::ostream& out) {
    out << "usage: disckit VERB [options]\n\n"
           "disckit checks a launcher disc before it is pressed, simulates what the\n"
           "launcher does with it on any Windows, and runs it under Wine.\n\nVerbs:\n";
    for (const VerbHelp& verb : kVerbs) {
        std::string name = std::string("  ") + verb.name;
        name.resize(12, ' ');
        out << name << verb.summary << '\n';
    }
    out << "\nOptions:\n"
           "  --version   Write disckit's version and exit.\n"
           "  --help, -h  Write this help and exit.\n\n";
    Wrap(out, SystemProfileNames(), "                    ", kWidth, "Systems (--system): ");
    out << "\n'disckit help VERB' or 'disckit VERB --help' tells the verb's options.\n";
}

void WriteManualPage(std::ostream& out) {
    out << ".\\\" The manual page of disckit, written by disckit --manual-page from the tables\n"
           ".\\\" that its --help texts come from.\n"
           ".TH DISCKIT 1 \"\" \"disckit " << DisckitVersion() << "\" \"User Commands\"\n"
           ".nh\n"
           ".SH NAME\n"
           "disckit \\- check, simulate and try a launcher disc before it is pressed\n"
           ".SH SYNOPSIS\n";
    for (const VerbHelp& verb : kVerbs) {
        out << ".B disckit " << verb.name << "\n.I " << Roff(verb.operand) << "\n";
        for (const OptionRow& option : *verb.options) {
            out << "[\\fB" << Roff(option.name) << "\\fR";
            if (option.argument) out << " \\fI" << Roff(option.argument) << "\\fR";
            out << "]\n";
        }
        out << ".br\n";
    }
    out << ".B disckit help\n[\\fIVERB\\fR]\n.br\n.B disckit \\-\\-version\n"
           ".SH DESCRIPTION\n"
           "disckit is the disc author's kit, built on the launcher's own code: its names, its "
           "language table and the launch sequence itself, so that it cannot disagree with "
           "Start.exe.\n"
           ".PP\n";
    for (const VerbHelp& verb : kVerbs) {
        out << ".TP\n.B " << verb.name << "\n" << Roff(verb.summary) << "\n";
    }
    out << ".PP\n"
           "\\fBdisckit help\\fR \\fIVERB\\fR and \\fBdisckit\\fR \\fIVERB\\fR \\fB\\-\\-help\\fR "
           "write what this page says of a verb; \\fBdisckit \\-\\-version\\fR writes the "
           "version.\n";
    for (const VerbHelp& verb : kVerbs) {
        out << ".SH " << Upper(verb.name) << "\n";
        bool first = true;
        for (const std::string& paragraph : Paragraphs(verb.description)) {
            if (!first) out << ".PP\n";
            out << Roff(paragraph) << "\n";
            first = false;
        }
        out << ".SS Options\n";
        for (const OptionRow& option : *verb.options) {
            out << ".TP\n\\fB" << Roff(option.name) << "\\fR";
            if (option.argument) out << " \\fI" << Roff(option.argument) << "\\fR";
            out << "\n" << Roff(OptionText(option)) << "\n";
        }
        out << ".SS Exit status\n";
        for (std::size_t i = 0; i < verb.exitCount; ++i) {
            out << ".TP\n.B " << verb.exits[i].code << "\n" << Roff(verb.exits[i].meaning) << "\n";
        }
        out << ".SS Examples\n";
        for (std::size_t i = 0; i < verb.exampleCount; ++i) {
            const auto example = Example(verb.examples[i]);
            out << ".TP\n.B " << Roff(example.first) << "\n" << Roff(example.second) << "\n";
        }
    }
    out << ".SH SYSTEMS\n"
           "The names that \\fB\\-\\-system\\fR takes: " << Roff(SystemProfileNames()) << ".\n"
           ".SH FILES\n"
           ".TP\n.I /usr/lib/disckit\n"
           "The trial's driver and Wine lab, the lab's Windows tools and the stock Start.exe, "
           "found as \\fI../lib/disckit\\fR from the folder of the disckit program.\n"
           ".SH ENVIRONMENT\n"
           ".TP\n.B LAUNCHER_E2E_WORK\n"
           "Where a trial keeps its Wine prefix templates; default: "
           "\\fI$XDG_CACHE_HOME/disckit\\fR or \\fI~/.cache/disckit\\fR (for root, a folder the "
           "account disclab cannot reach is replaced by one under \\fI/var/cache/disckit\\fR). "
           "A folder another account could change is refused.\n";
}

void WriteBashCompletion(std::ostream& out) {
    std::string verbs;
    for (const VerbHelp& verb : kVerbs) verbs += std::string(verbs.empty() ? "" : " ") + verb.name;
    std::string languages;
    for (std::size_t i = 0; i < LocaleNameCount(); ++i) {
        languages += std::string(i ? " " : "") + LocaleNames()[i].name;
    }
    out << "# bash completion for disckit, written by disckit --bash-completion\n"
           "_disckit()\n{\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
           "    if [[ $COMP_CWORD -eq 1 ]]; then\n"
           "        COMPREPLY=($(compgen -W '" << verbs << " help --help --version' -- \"$cur\"))\n"
           "        return\n"
           "    fi\n"
           "    local words\n"
           "    case ${COMP_WORDS[1]} in\n"
           "    help)\n"
           "        [[ $COMP_CWORD -eq 2 ]] && COMPREPLY=($(compgen -W '" << verbs
        << "' -- \"$cur\"))\n"
           "        return;;\n";
    for (const VerbHelp& verb : kVerbs) {
        out << "    " << verb.name << ")\n        case $prev in\n";
        for (const OptionRow& option : *verb.options) {
            if (!option.argument) continue;
            out << "        " << option.name << ") ";
            switch (option.kind) {
                case ValueKind::Choices:
                    out << "COMPREPLY=($(compgen -W '" << option.choices << "' -- \"$cur\"))";
                    break;
                case ValueKind::System:
                    out << "COMPREPLY=($(compgen -W '" << SystemProfileNames() << "' -- \"$cur\"))";
                    break;
                case ValueKind::Language:
                    out << "COMPREPLY=($(compgen -W '" << languages << "' -- \"$cur\"))";
                    break;
                case ValueKind::Folder:
                    out << "compopt -o filenames; COMPREPLY=($(compgen -d -- \"$cur\"))";
                    break;
                case ValueKind::File:
                    out << "compopt -o filenames; COMPREPLY=($(compgen -f -- \"$cur\"))";
                    break;
                case ValueKind::Free:
                    out << "COMPREPLY=()";
                    break;
            }
            out << "; return;;\n";
        }
        out << "        esac\n        words='";
        for (const OptionRow& option : *verb.options) out << option.name << ' ';
        out << "--help'\n        compopt -o filenames\n"
            << "        [[ $cur == -* ]] && COMPREPLY=($(compgen -W \"$words\" -- \"$cur\")) ||\n"
            << "            COMPREPLY=($(compgen " << (verb.operandMayBeFile ? "-f" : "-d")
            << " -- \"$cur\"))\n        ;;\n";
    }
    out << "    esac\n}\ncomplete -F _disckit disckit\n";
}
