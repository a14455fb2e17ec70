#include "kit/common/Project.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <system_error>

#include "kit/Help.h"
#include "kit/common/Utf8.h"
#include "kit/windows/Languages.h"
#include "kit/windows/Profiles.h"

// Wide-string conveniences are of no use here: paths are UTF-8 throughout the kit.
#define TOML_ENABLE_WINDOWS_COMPAT 0
#include <toml++/toml.h>

namespace fs = std::filesystem;

namespace {

// An author's project file is a page of text; anything far larger is not one.
constexpr std::uintmax_t kMaxProjectBytes = 1u << 20;

const char* TypeName(const toml::node& node) {
    switch (node.type()) {
        case toml::node_type::table: return "a table";
        case toml::node_type::array: return "an array";
        case toml::node_type::string: return "a string";
        case toml::node_type::integer: return "an integer";
        case toml::node_type::floating_point: return "a number";
        case toml::node_type::boolean: return "a boolean";
        case toml::node_type::date: return "a date";
        case toml::node_type::time: return "a time";
        case toml::node_type::date_time: return "a date and time";
        default: return "nothing";
    }
}

bool HasWord(const char* words, const std::string& word) {
    std::istringstream in(words);
    for (std::string w; in >> w;)
        if (w == word) return true;
    return false;
}

std::string FirstWord(const char* words) {
    std::istringstream in(words);
    std::string w;
    in >> w;
    return w;
}

const OptionRow* RowOf(const char* verb, const char* option) {
    const VerbHelp* help = FindVerb(verb);
    if (!help || !option) return nullptr;
    for (const OptionRow& row : *help->options)
        if (std::strcmp(row.name, option) == 0) return &row;
    return nullptr;
}

// A path of the file, relative to the project's folder unless absolute.
std::string InProject(const std::string& folder, const std::string& path) {
    const fs::path p = fs::u8path(path);
    if (p.is_absolute() || p.has_root_name()) return path;
    return (fs::u8path(folder) / p).u8string();
}

// Reads the file's tables into project; throws nothing, reports the first fault.
class Reader {
public:
    Reader(const std::string& folder, const std::string& file, Project& project)
        : folder_(folder), file_(file), p_(project) {}

    bool Read(const toml::table& root, std::string& error) {
        for (auto&& [name, node] : root) {
            const std::string table(name.str());
            if (!Known(table, nullptr)) {
                return Fail(name.source(), node.is_table() ? "no table [" + table + "]"
                                                           : "'" + table + "' is in no table",
                            error);
            }
            const toml::table* inner = node.as_table();
            if (!inner) {
                return Fail(node.source(), std::string("[") + table + "] is a table, not " +
                                               TypeName(node), error);
            }
            const ProjectKey* whole = Known(table, nullptr);
            if (!whole->key) {
                if (!Table(*whole, *inner, error)) return false;
                continue;
            }
            for (auto&& [keyName, value] : *inner) {
                const std::string key(keyName.str());
                const ProjectKey* known = Known(table, key.c_str());
                if (!known) {
                    return Fail(keyName.source(),
                                "no key '" + key + "' in [" + table + "]", error);
                }
                if (!Value(*known, value, error)) return false;
            }
        }
        return true;
    }

private:
    // The key of that table (null: the table's first key, or the table itself).
    static const ProjectKey* Known(const std::string& table, const char* key) {
        for (std::size_t i = 0; i < ProjectKeyCount(); ++i) {
            const ProjectKey& k = ProjectKeys()[i];
            if (table != k.table) continue;
            if (!key || (k.key && std::strcmp(key, k.key) == 0)) return &k;
        }
        return nullptr;
    }

    bool Fail(const toml::source_region& where, const std::string& what, std::string& error) {
        error = file_ + ":" + std::to_string(where.begin.line) + ": " + what;
        return false;
    }

    static std::string Name(const ProjectKey& key) {
        return std::string("[") + key.table + "] " + (key.key ? key.key : "");
    }

    bool Wrong(const ProjectKey& key, const toml::node& node, std::string& error) {
        return Fail(node.source(),
                    Name(key) + " is " + ProjectKeyType(key) + ", not " + TypeName(node), error);
    }

    // Strings: one, or an array of them when many may be.
    bool Strings(const ProjectKey& key, const toml::node& node, bool many,
                 std::vector<std::string>& out, std::string& error) {
        if (const auto* s = node.as_string()) {
            if (many && key.type == ProjectType::Texts) return Wrong(key, node, error);
            out.push_back(s->get());
            return true;
        }
        const toml::array* array = node.as_array();
        if (!many || !array) return Wrong(key, node, error);
        for (const toml::node& item : *array) {
            const auto* s = item.as_string();
            if (!s) return Wrong(key, item, error);
            out.push_back(s->get());
        }
        return true;
    }

    bool Value(const ProjectKey& key, const toml::node& node, std::string& error) {
        const long line = static_cast<long>(node.source().begin.line);
        if (key.type == ProjectType::Path) {
            std::vector<std::string> one;
            if (!Strings(key, node, false, one, error)) return false;
            if (one[0].empty()) return Fail(node.source(), Name(key) + " is empty", error);
            if (std::strcmp(key.key, "content") == 0) p_.content = InProject(folder_, one[0]);
            return true;
        }
        if (key.type == ProjectType::Texts) {
            std::vector<std::string> texts;
            if (!Strings(key, node, true, texts, error)) return false;
            if (std::strcmp(key.key, "languages") == 0) {
                for (const std::string& text : texts) {
                    std::uint16_t id = 0;
                    if (!ParseLanguage(text, id)) {
                        return Fail(node.source(), Name(key) + ": no language '" + text +
                                                       "' (a locale name such as de-DE, or a "
                                                       "LANGID such as 0x0407)", error);
                    }
                    p_.languages.push_back(id);
                }
            }
            return true;
        }
        const OptionRow* row = ProjectKeyRow(key);
        if (!row) return Fail(node.source(), Name(key) + " sets nothing", error);
        Project::Setting setting{&key, {}, line};
        if (row->target.arity == Arity::Flag) {
            const auto* b = node.as_boolean();
            if (!b) return Wrong(key, node, error);
            setting.values.push_back(b->get() ? "true" : "false");
        } else {
            if (!Strings(key, node, row->target.arity == Arity::Repeated, setting.values, error))
                return false;
            for (std::string& value : setting.values) {
                if (row->kind == ValueKind::Choices && !HasWord(row->choices, value)) {
                    return Fail(node.source(), Name(key) + " is one of " + row->choices +
                                                   ", not '" + value + "'", error);
                }
                if (row->kind == ValueKind::File || row->kind == ValueKind::Folder) {
                    if (value.empty()) return Fail(node.source(), Name(key) + " is empty", error);
                    value = InProject(folder_, value);
                }
            }
        }
        p_.settings.push_back(setting);
        return true;
    }

    // A table of the project's own whose keys are free (the systems of [expect]).
    bool Table(const ProjectKey& key, const toml::table& table, std::string& error) {
        for (auto&& [name, node] : table) {
            const std::string system(name.str());
            if (!FindSystemProfile(system)) {
                return Fail(name.source(), "[" + std::string(key.table) + "]: no system '" +
                                               system + "'; the systems are: " +
                                               SystemProfileNames(), error);
            }
            const auto* s = node.as_string();
            if (!s) {
                return Fail(node.source(), "[" + std::string(key.table) + "] " + system +
                                               " is a string, not " + TypeName(node), error);
            }
            Outcome outcome;
            if (!ParseOutcome(s->get(), outcome)) {
                return Fail(node.source(), "[" + std::string(key.table) + "] " + system + ": '" +
                                               s->get() + "' is no outcome; the outcomes are: " +
                                               OutcomeNames(), error);
            }
            p_.expect[system] = s->get();
        }
        return true;
    }

    const std::string& folder_;
    const std::string& file_;
    Project& p_;
};

}  // namespace

const OptionRow* ProjectKeyRow(const ProjectKey& key) {
    if (key.type != ProjectType::Option) return nullptr;
    return RowOf(FirstWord(key.verbs).c_str(), key.option);
}

std::string ProjectKeyType(const ProjectKey& key) {
    switch (key.type) {
        case ProjectType::Path: return "a path";
        case ProjectType::Texts: return "an array of strings";
        case ProjectType::TextTable: return "a table of strings";
        case ProjectType::Option: break;
    }
    const OptionRow* row = ProjectKeyRow(key);
    if (!row) return "nothing";
    if (row->target.arity == Arity::Flag) return "a boolean";
    if (row->target.arity == Arity::Repeated) return "an array of strings";
    if (row->kind == ValueKind::File || row->kind == ValueKind::Folder) return "a path";
    return "a string";
}

std::string Project::Blame(const std::string& error) const {
    for (const Setting& s : settings) {
        const std::string option = s.key->option ? s.key->option : "";
        if (option.empty() || !fromFile.count(option) || error.compare(0, option.size(), option))
            continue;
        const char after = error.size() > option.size() ? error[option.size()] : ' ';
        if (after == ' ' || after == ':') return file + ":" + std::to_string(s.line) + ": " + error;
    }
    return error;
}

bool IsProjectFolder(const std::string& folder) {
    std::error_code ec;
    const fs::path dir = fs::u8path(folder);
    return fs::is_directory(dir, ec) &&
           fs::exists(fs::symlink_status(dir / kProjectFile, ec));
}

bool ParseProject(const std::string& text, const std::string& folder, const std::string& file,
                  Project& project, std::string& error) {
    project = Project();
    project.folder = folder;
    project.file = file;
    project.content = InProject(folder, kDefaultContent);
    toml::table root;
    try {
        root = toml::parse(text, file);
    } catch (const toml::parse_error& e) {
        std::string what(e.description());
        for (char& c : what)
            if (c == '\n' || c == '\r') c = ' ';
        error = file + ":" + std::to_string(e.source().begin.line) + ": " + what;
        return false;
    }
    Reader reader(folder, file, project);
    if (!reader.Read(root, error)) return false;
    project.loaded = true;
    return true;
}

bool LoadProject(const std::string& folder, Project& project, std::string& error) {
    const fs::path path = fs::u8path(folder) / kProjectFile;
    const std::string file = path.u8string();
    std::error_code ec;
    project = Project();
    project.file = file;
    if (!fs::is_regular_file(path, ec)) {
        error = file + ": not a file";
        return false;
    }
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec || size > kMaxProjectBytes) {
        error = file + ": " + (ec ? ec.message() : "larger than 1 MiB");
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::string text(static_cast<std::size_t>(size), '\0');
    if (size && !in.read(&text[0], static_cast<std::streamsize>(size))) {
        error = file + ": cannot be read";
        return false;
    }
    return ParseProject(text, folder, file, project, error);
}

bool ParseVerbCommand(const char* verb, const Args& args, const OptionTable& table, void* values,
                      const char* operandName, std::string& operand, Project& project,
                      std::string& error) {
    project = Project();
    std::set<std::string> given;
    if (!ParseVerbOptions(args, table, values, operandName, operand, error, &given)) return false;
    if (!IsProjectFolder(operand)) return true;
    if (!LoadProject(operand, project, error)) return false;
    operand = project.content;
    for (const Project::Setting& s : project.settings) {
        if (!HasWord(s.key->verbs, verb) || given.count(s.key->option)) continue;
        const OptionRow* row = nullptr;
        for (const OptionRow& candidate : table)
            if (std::strcmp(candidate.name, s.key->option) == 0) row = &candidate;
        if (!row) continue;
        project.fromFile.insert(row->name);
        for (const std::string& value : s.values) {
            if (row->target.arity == Arity::Flag && value != "true") continue;
            row->target.store(values, value);
        }
    }
    return true;
}

void SayProject(const Project& project, std::ostream& err) {
    if (project.loaded) err << "disckit: project " << EscapeControls(project.file) << "\n";
}

std::string NewProjectFile(const std::vector<std::string>& languages) {
    std::string t;
    t += "# The project of a disc. Every verb of disckit takes this folder where it takes a disc:\n"
         "#   disckit check .            the disc in [disc] content, with the settings of [check]\n"
         "#   disckit build . --out OUT  the finished disc, branded and signed as below\n"
         "# Options on the command line override what is set here. Paths are relative to this\n"
         "# folder. Remove the '#' before a key to set it.\n";
    std::string table;
    for (std::size_t i = 0; i < ProjectKeyCount(); ++i) {
        const ProjectKey& k = ProjectKeys()[i];
        if (table != k.table) {
            table = k.table;
            t += "\n[" + table + "]\n";
        }
        const OptionRow* row = ProjectKeyRow(k);
        std::string help = row ? row->help : k.help;
        if (row) {
            std::string verbs;
            std::istringstream each(k.verbs);
            for (std::string verb; each >> verb;) verbs += (verbs.empty() ? "" : " and ") + verb;
            help = std::string("As ") + row->name + " of " + verbs + ": " + help;
        }
        // The help as comment lines of at most about 96 characters.
        std::string line = "#";
        std::istringstream words(help);
        for (std::string w; words >> w;) {
            if (line.size() + 1 + w.size() > 96) {
                t += line + "\n";
                line = "#";
            }
            line += " " + w;
        }
        t += line + "\n";
        if (!k.key) {
            t += std::string("# ") + k.example + "\n";
            continue;
        }
        if (std::strcmp(k.key, "content") == 0) {
            t += std::string(k.key) + " = \"" + kDefaultContent + "\"\n";
        } else if (std::strcmp(k.key, "languages") == 0 && !languages.empty()) {
            t += "languages = [";
            for (std::size_t j = 0; j < languages.size(); ++j)
                t += (j ? ", \"" : "\"") + languages[j] + "\"";
            t += "]\n";
        } else {
            t += std::string("# ") + k.key + " = " + k.example + "\n";
        }
    }
    return t;
}

void WriteCommandError(const char* verb, const Project& project, const std::string& error,
                       std::ostream& err) {
    const std::string blamed = project.Blame(error);
    err << "disckit " << verb << ": " << EscapeControls(blamed) << "\n";
    if (project.file.empty() || blamed.compare(0, project.file.size(), project.file) != 0)
        err << VerbUsage(verb);
}

Expectations Project::Expected() const {
    Expectations expectations;
    std::string unused;
    // Every entry was checked as the file was read.
    for (const auto& entry : expect) expectations.Set(entry.first, entry.second, unused);
    return expectations;
}
