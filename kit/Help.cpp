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

// Every verb of the table, for a range-for.
struct AllVerbs {
    const VerbHelp* begin() const { return Verbs(); }
    const VerbHelp* end() const { return Verbs() + VerbCount(); }
};


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

const VerbHelp* FindVerb(const std::string& name) {
    for (const VerbHelp& verb : AllVerbs()) {
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
        words += (words.empty() ? "[" : " [") + usage + "]";
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
    for (const VerbHelp& verb : AllVerbs()) {
        out << (&verb == Verbs() ? "usage: " : "       ") << "disckit " << verb.name << ' '
            << verb.operand << (*verb.operand ? " " : "") << "[options]\n";
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
    for (const VerbHelp& verb : AllVerbs()) {
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
    for (const VerbHelp& verb : AllVerbs()) {
        out << ".B disckit " << verb.name << "\n";
        if (*verb.operand) out << ".I " << Roff(verb.operand) << "\n";
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
    for (const VerbHelp& verb : AllVerbs()) {
        out << ".TP\n.B " << verb.name << "\n" << Roff(verb.summary) << "\n";
    }
    out << ".PP\n"
           "\\fBdisckit help\\fR \\fIVERB\\fR and \\fBdisckit\\fR \\fIVERB\\fR \\fB\\-\\-help\\fR "
           "write what this page says of a verb; \\fBdisckit \\-\\-version\\fR writes the "
           "version.\n";
    for (const VerbHelp& verb : AllVerbs()) {
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
    for (const VerbHelp& verb : AllVerbs()) verbs += std::string(verbs.empty() ? "" : " ") + verb.name;
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
    for (const VerbHelp& verb : AllVerbs()) {
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
            << "            COMPREPLY=(" << (!*verb.operand ? std::string()
                                     : verb.operandMayBeFile ? "$(compgen -f -- \"$cur\")"
                                                             : "$(compgen -d -- \"$cur\")")
            << ")\n        ;;\n";
    }
    out << "    esac\n}\ncomplete -F _disckit disckit\n";
}
