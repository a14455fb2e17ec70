#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "app/LauncherApp.h"
#include "kit/common/Options.h"
#include "kit/trial/TrialOptions.h"

namespace {

TrialOptions ParseTrial(const Args& args) {
    TrialOptions options;
    std::string error;
    EXPECT_TRUE(ParseTrialArgs(args, options, error)) << error;
    return options;
}

std::string TrialLine(const Args& args) {
    std::string line;
    for (const std::string& a : args) line += a + ' ';
    return line;
}

TEST(TrialOptions, DefaultsAreThoseOfTheSimulation) {
    const TrialOptions o = ParseTrial({"disc"});
    EXPECT_EQ(o.disc, "disc");
    ASSERT_NE(o.profile, nullptr);
    EXPECT_STREQ(o.profile->name, kDefaultProfile);
    EXPECT_EQ(o.langId, 0x0409);
    EXPECT_EQ(o.localeName, "en-US");
    EXPECT_EQ(o.timeoutSeconds, 60u);
    EXPECT_EQ(o.maxStarts, 10u);
    EXPECT_TRUE(o.outDir.empty());
    EXPECT_FALSE(o.keep);
    EXPECT_FALSE(o.json);
}

TEST(TrialOptions, GoodValues) {
    struct Row {
        Args args;
        std::function<void(const TrialOptions&)> check;
    };
    const std::vector<Row> rows = {
        {{"--system", "xp", "disc.iso"}, [](const TrialOptions& o) {
             EXPECT_STREQ(o.profile->name, "xp");
             EXPECT_EQ(o.disc, "disc.iso");
         }},
        {{"disc", "--lang", "0x0407"}, [](const TrialOptions& o) {
             EXPECT_EQ(o.langId, 0x0407);
             EXPECT_EQ(o.localeName, "de-DE");
         }},
        {{"disc", "--lang=1041"}, [](const TrialOptions& o) { EXPECT_EQ(o.localeName, "ja-JP"); }},
        {{"disc", "--lang", "zh_cn"}, [](const TrialOptions& o) { EXPECT_EQ(o.langId, 0x0804); }},
        {{"disc", "--timeout", "1", "--max-starts", "2"}, [](const TrialOptions& o) {
             EXPECT_EQ(o.timeoutSeconds, 1u);
             EXPECT_EQ(o.maxStarts, 2u);
         }},
        {{"disc", "--timeout=86400", "--out", "shots", "--keep", "--json", "--html", "r.html"},
         [](const TrialOptions& o) {
             EXPECT_EQ(o.timeoutSeconds, 86400u);
             EXPECT_EQ(o.outDir, "shots");
             EXPECT_EQ(o.htmlFile, "r.html");
             EXPECT_TRUE(o.keep);
             EXPECT_TRUE(o.json);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(TrialLine(row.args));
        row.check(ParseTrial(row.args));
    }
}

TEST(TrialOptions, BadValuesAreRefusedWithAReason) {
    const std::vector<Args> rows = {
        {},                                       // no disc
        {"a", "b"},                               // two discs
        {"disc", "--system", "12"},
        {"disc", "--system"},
        {"disc", "--lang", "xx-YY"},
        {"disc", "--lang", "0x1234"},             // a LANGID without a locale name
        {"disc", "--timeout", "0"},
        {"disc", "--timeout", "86401"},
        {"disc", "--timeout", "1.5"},
        {"disc", "--max-starts", "1"},            // a loop shows itself from the second start
        {"disc", "--max-starts", "many"},
        {"disc", "--out="},
        {"disc", "--html="},
        {"disc", "--keep=yes"},
        {"disc", "--codepage", "1252"},           // simulate's options are not the trial's
        {"disc", "--media", "writable"},
    };
    for (const Args& args : rows) {
        TrialOptions options;
        std::string error;
        EXPECT_FALSE(ParseTrialArgs(args, options, error)) << TrialLine(args);
        EXPECT_FALSE(error.empty()) << TrialLine(args);
    }
}

TEST(TrialOptions, UnixLocaleOfAWindowsLocaleName) {
    const std::pair<const char*, const char*> rows[] = {
        {"de-DE", "de_DE.UTF-8"},
        {"en-US", "en_US.UTF-8"},
        {"zh-TW", "zh_TW.UTF-8"},
        {"es-ES_tradnl", "es_ES.UTF-8"},  // the sort order has no Unix counterpart
        {"sr-Latn-CS", "sr_CS.UTF-8"},    // nor the script: Wine's report decides
        {"fr", "fr.UTF-8"},
    };
    for (const auto& row : rows) EXPECT_EQ(UnixLocaleFor(row.first), row.second) << row.first;
}

TEST(TrialOptions, DiscIsAFolderOrAnIso9660Image) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kit_trial_disc_" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "folder");
    const auto write = [&dir](const char* name, std::size_t size, bool marked) {
        std::string data(17 * 2048, '\0');
        if (marked) data.replace(16 * 2048, 6, "\x01" "CD001");
        data.resize(size);
        std::ofstream(dir / name, std::ios::binary) << data;
    };
    write("disc.iso", 17 * 2048, true);
    write("short.iso", 16 * 2048 + 3, true);  // cut off inside the descriptor
    write("other.bin", 17 * 2048, false);
    EXPECT_EQ(ClassifyDisc((dir / "folder").string()), DiscKind::Folder);
    EXPECT_EQ(ClassifyDisc((dir / "disc.iso").string()), DiscKind::Image);
    EXPECT_EQ(ClassifyDisc((dir / "short.iso").string()), DiscKind::Neither);
    EXPECT_EQ(ClassifyDisc((dir / "other.bin").string()), DiscKind::Neither);
    EXPECT_EQ(ClassifyDisc((dir / "missing").string()), DiscKind::Neither);
    std::filesystem::remove_all(dir);
}

// The request for a disc at /abs/d, with the driver in /lib and the lab's work in /w.
Json Request(const TrialOptions& o, DiscKind kind) {
    Json request;
    std::string error;
    EXPECT_TRUE(TrialRequest(o, kind, "/abs/d", "/lib", "/w", request, error)) << error;
    return request;
}

std::vector<std::string> Texts(const Json& array) {
    std::vector<std::string> texts;
    for (const Json& item : array.items()) texts.push_back(item.text());
    return texts;
}

TEST(TrialOptions, TheDriverGetsWhatTheTablesResolveTo) {
    struct Row {
        Args args;
        DiscKind kind;
        std::vector<std::string> record;  // platform, major, minor, build field, product type
        bool extended;
        const char* prefix;
        const char* settings;
        const char* lcAll;
    };
    const Row rows[] = {
        {{"d"}, DiscKind::Folder, {"2", "6", "1", "7601", "1"}, true, "win64", "win7 win2008r2",
         "en_US.UTF-8"},
        // The 95 family's build field carries the version in its high half.
        {{"d", "--system", "95", "--lang", "de-DE"}, DiscKind::Image,
         {"1", "4", "0", "67109814", "0"}, false, "win32", "win95", "de_DE.UTF-8"},
        {{"d", "--system", "2008r2", "--lang", "1055"}, DiscKind::Folder,
         {"2", "6", "1", "7601", "3"}, true, "win64", "win2008r2 win7", "tr_TR.UTF-8"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(TrialLine(row.args));
        const Json r = Request(ParseTrial(row.args), row.kind);
        EXPECT_EQ(r["disc"].text(), "/abs/d");
        EXPECT_EQ(Texts(r["record"]), row.record);
        EXPECT_EQ(r["extended_query"].boolean(), row.extended);
        EXPECT_EQ(r["prefix"].text(), row.prefix);
        EXPECT_EQ(r["wine_settings"].text(), row.settings);
        EXPECT_EQ(r["lc_all"].text(), row.lcAll);
        EXPECT_EQ(r["browser_process"].text(), names::kBrowserProcess);
        EXPECT_EQ(r["browser"].text(), names::kBrowser);
        EXPECT_EQ(r["launcher"].text(), names::kLauncher);
        EXPECT_EQ(r["work"].text(), "/w");
        EXPECT_EQ(r["tools"].text(), "/lib/tools");
        EXPECT_EQ(r["image"].boolean(), row.kind == DiscKind::Image);
        EXPECT_NE(r.Dump().find("\"out\": null"), std::string::npos);
    }
    const Json r = Request(
        ParseTrial({"d", "--out", "shots", "--keep", "--json", "--timeout", "9", "--html", "r.html"}),
        DiscKind::Folder);
    EXPECT_EQ(r["out"].text(), "shots");
    EXPECT_EQ(r["timeout"].kind(), Json::Kind::Number);
    EXPECT_EQ(r["timeout"].text(), "9");
    EXPECT_TRUE(r["keep"].boolean());
    // The reports are disckit's own: what they are written as, and where, is not the driver's.
    for (const char* unused : {"json", "html", "disckit", "refusal_text", "refusal_caption"}) {
        EXPECT_EQ(r.Dump().find(std::string("\"") + unused + "\""), std::string::npos) << unused;
    }
    EXPECT_EQ(TrialDriverCommand("/lib", "/dev/fd/3"),
              (std::vector<std::string>{std::filesystem::exists(kSystemPython) ? kSystemPython : "python3",
                                        "/lib/trial.py", "--request", "/dev/fd/3"}));
}

// The help's defaults are the parser's: naming a row's default gives the request that leaving the
// option out gives (for the defaults that are values, not a description of what happens).
TEST(TrialOptions, TheHelpsDefaultsAreThoseInForce) {
    const std::string without = Request(ParseTrial({"d"}), DiscKind::Folder).Dump();
    int values = 0;
    for (const OptionRow& row : kTrialOptions) {
        if (!row.defaultValue || std::string(row.defaultValue).find(' ') != std::string::npos) {
            continue;
        }
        ++values;
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Request(ParseTrial({"d", row.name, row.defaultValue}), DiscKind::Folder).Dump(),
                  without);
    }
    EXPECT_EQ(values, 4);  // --system, --lang, --timeout, --max-starts
}

TEST(TrialOptions, APathThatIsNotUtf8IsRefused) {
    Json request;
    std::string error;
    for (const Args& args : {Args{"d"}, Args{"d", "--out", "sh\xFFts"}}) {
        const std::string disc = args.size() == 1 ? "/abs/\xFF" : "/abs/d";
        error.clear();
        EXPECT_FALSE(TrialRequest(ParseTrial(args), DiscKind::Folder, disc, "/lib", "/w", request,
                                  error)) << TrialLine(args);
        EXPECT_NE(error.find("UTF-8"), std::string::npos) << TrialLine(args);
    }
}

// What disckit writes is what the driver accepts: trial.py's own reader, run on the request,
// without Wine. And the reader refuses what is not such a request, in one line.
std::string RunPython(const std::string& script, const std::vector<std::string>& files,
                      int& status) {
    std::string command = "PYTHONIOENCODING=utf-8 python3 -c '" + script + "' '" +
                          LAUNCHER_TRIAL_DRIVER_DIR + "'";
    for (const std::string& file : files) command += " '" + file + "'";
    command += " 2>&1";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
        status = pclose(pipe);
    }
    return output;
}

TEST(TrialOptions, TheDriverAcceptsTheRequestDisckitWrites) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("kit_trial_request_" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const auto write = [&dir](std::size_t i, const std::string& text) {
        const std::string file = (dir / ("request" + std::to_string(i) + ".json")).string();
        std::ofstream(file, std::ios::binary) << text;
        return file;
    };
    const Args lines[] = {
        {"d", "--system", "95", "--lang", "de-DE", "--keep", "--html", "r.html"},
        {"d", "--max-starts", "3", "--timeout", "86400", "--out", "sh\xC3\xBCts", "--json"},
    };
    std::vector<TrialOptions> options;
    std::vector<std::string> files;
    for (const Args& args : lines) {
        options.push_back(ParseTrial(args));
        const TrialOptions& o = options.back();
        files.push_back(write(files.size(),
            Request(o, o.profile->bits == 32 ? DiscKind::Image : DiscKind::Folder).Dump()));
    }
    // The reader's object, member by member, as Python spells it; the requests apart by "--".
    const std::string read =
        R"(import sys; sys.path.insert(0, sys.argv[1]); import trial)" "\n"
        R"(for f in sys.argv[2:]:)" "\n"
        R"(    a = vars(trial.parse(["--request", f, "--observations", "/o.json"])))" "\n"
        R"(    print("\n".join(f"{k}={v!r}" for k, v in sorted(a.items())) + "\n--"))";
    int status = -1;
    const std::string all = "\n" + RunPython(read, files, status);
    ASSERT_EQ(status, 0) << all;
    std::size_t next = 0;
    for (std::size_t i = 0; i < options.size(); ++i) {
        SCOPED_TRACE(TrialLine(lines[i]));
        const std::size_t end = all.find("\n--\n", next);
        ASSERT_NE(end, std::string::npos) << all;
        const std::string out = all.substr(next, end + 1 - next);
        next = end + 3;
        const TrialOptions& o = options[i];
        const auto has = [&out](const std::string& line) {
            EXPECT_NE(out.find("\n" + line + "\n"), std::string::npos) << line << "\n" << out;
        };
        has("disc='/abs/d'");
        has("observations='/o.json'");
        has("tools='/lib/tools'");
        has("keep=" + std::string(o.keep ? "True" : "False"));
        has("timeout=" + std::to_string(o.timeoutSeconds));
        has("max_starts=" + std::to_string(o.maxStarts));
        has("locale_name='" + o.localeName + "'");
        has("out=" + (o.outDir.empty() ? std::string("None") : "'" + o.outDir + "'"));
        if (o.profile->bits == 32) {
            has("record=[1, 4, 0, 67109814, 0]");
            has("extended_query=False");
            has("image=True");
        } else {
            has("record=[2, 6, 1, 7601, 1]");
            has("extended_query=True");
            has("image=False");
        }
    }

    // Malformed requests: exit code 2 and one line on stderr, before anything is run.
    const std::string good = Request(ParseTrial({"d"}), DiscKind::Folder).Dump();
    const auto replaced = [&good](const std::string& from, const std::string& to) {
        std::string text = good;
        const std::size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? text : text.replace(at, from.size(), to);
    };
    const std::string bad[] = {
        "",
        "[]",
        "{\"disc\": \"/d\"}",
        good.substr(0, good.size() / 2),
        replaced("\"timeout\": 60", "\"timeout\": \"60\""),
        replaced("\"timeout\": 60", "\"timeout\": 0"),
        replaced("\"keep\": false", "\"keep\": 0"),
        replaced("\"bits\": 64", "\"bits\": true"),
        replaced("\"out\": null", "\"out\": 5"),
        replaced("\"prefix\": \"win64\"", "\"prefix\": \"host\""),
        replaced("\"disc\"", "\"disk\""),
        replaced("\n  ]", ",\n    7\n  ]"),  // a sixth field of the version record
        std::string("{\"disc\": \"\xFF\"}"),
        std::string(2 << 20, ' '),  // larger than any request
    };
    files.clear();
    for (const std::string& text : bad) files.push_back(write(100 + files.size(), text));
    // The first as the driver runs, as a program; all of them through its main, in one process.
    const std::string run =
        R"(import sys, runpy; driver = sys.argv[1] + "/trial.py"; )"
        R"(sys.argv = [driver, "--request", sys.argv[2], "--observations", "/o.json"]; )"
        R"(runpy.run_path(driver, run_name="__main__"))";
    const std::string once = RunPython(run, {files[0]}, status);
    ASSERT_TRUE(WIFEXITED(status)) << once;
    EXPECT_EQ(WEXITSTATUS(status), 2) << once;
    EXPECT_EQ(once.rfind("disckit trial: ", 0), 0u) << once;
    EXPECT_EQ(std::count(once.begin(), once.end(), '\n'), 1) << once;
    const std::string each =
        R"(import contextlib, io, sys; sys.path.insert(0, sys.argv[1]); import trial)" "\n"
        R"(for f in sys.argv[2:]:)" "\n"
        R"(    e = io.StringIO())" "\n"
        R"(    with contextlib.redirect_stderr(e): code = trial.main(["--request", f, "--observations", "/o.json"]))" "\n"
        R"(    said = e.getvalue())" "\n"
        R"(    print(code, said.count("\n"), said.startswith("disckit trial: ")))";
    const std::string answers = RunPython(each, files, status);
    ASSERT_EQ(status, 0) << answers;
    std::string expected;
    for (std::size_t i = 0; i < files.size(); ++i) expected += "2 1 True\n";
    EXPECT_EQ(answers, expected);
    std::filesystem::remove_all(dir);
}

}  // namespace
