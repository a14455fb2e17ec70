// Writes the image fuzzer's seeds into the folder given: images of the tests' own writer, among
// them the one whose short Rock Ridge NM entry overflowed a library's reader, an image whose
// trees disagree, a folder that contains itself, a file in pieces and one past the end.
#include <cstdio>
#include <fstream>
#include <string>

#include "tests/IsoWriter.h"

using namespace isowriter;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: write_seeds FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    int count = 0;
    const auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(folder + "/" + name, std::ios::binary) << bytes;
        ++count;
    };
    for (bool joliet : {false, true}) {
        for (bool continued : {false, true}) {
            write("short-nm-" + std::to_string(joliet) + std::to_string(continued) + ".iso",
                  ShortNameEntryImage(joliet, continued));
        }
    }
    const Node page = File(Plain("PAGE.HTM"), "<html>page</html>", RockName("page.htm"));
    Node split = File(Plain("SPLIT.HTM"), "abc", RockName("split.htm"));
    split.morePieces = true;
    Node past = File(Plain("PAST.HTM"), "");
    past.sector = 0x7FFFFFF0;
    past.size = 100;
    Node loop = Folder("LOOP", {});
    loop.sector = 16 + 3;
    loop.size = 2048;
    const Node plain = Folder("", {Folder("LANG", {Folder("ENG", {page})}, RockName("lang")),
                                   File(Plain("PANOVIEW.EXE"), "MZ real", RockName("Panoview.exe")),
                                   page, past, split, File(Plain("SPLIT.HTM"), "defg"), loop});
    const Node names =
        Folder("", {Folder(Joliet("lang"), {Folder(Joliet("Eng"), {File(Joliet("page.htm"),
                                                                        "<html>page</html>")})}),
                    File(Joliet("Panoview.exe"), "MZ fake"), File(Joliet("Long page.htm"), "x")});
    write("trees.iso", Image(plain, &names));
    write("plain.iso", Image(plain));
    std::printf("%d seeds in %s\n", count, folder.c_str());
    return 0;
}
