// The check of a disc, inside: one Checker walks the disc once and adds its findings. Its parts
// are the verb's seams: CheckDisc.cpp the walk's frame and what the parts share, CheckImages.cpp
// the launcher's programs and libraries, CheckAutorun.cpp autorun.inf, CheckPages.cpp the
// language folders and their start pages, CheckPageLinks.cpp what those pages link to,
// CheckNames.cpp every name and path of the disc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kit/check/CheckDisc.h"
#include "kit/check/CheckSystemDlls.h"
#include "kit/disc/DiscReader.h"
#include "kit/disc/DiscTree.h"
#include "kit/disc/PeImage.h"
#include "kit/windows/Languages.h"

namespace checkdisc {

// English (United States): a language without a folder of its own.
constexpr std::uint16_t kUnlistedLangId = 0x0409;

// dir\name, or name alone at the root.
std::string Join(const std::string& dir, const std::string& name);
std::string JoinAll(const std::vector<std::string>& parts, const std::string& separator);

class Checker {
public:
    Checker(const DiscReader& reader, std::vector<Finding>& findings,
            std::vector<ImageFacts>* images);
    bool Run(std::string& error);

private:
    // What a walk has reported above a folder, so that each limit is told once per branch.
    struct Reported {
        bool maxPath = false;
        bool joliet = false;
        bool depth = false;
    };
    struct Library {
        bool opened = false;
        PeImage image;
        std::string problem;  // why it is no image at all
    };
    struct ImportProblem {
        std::string text;          // one phrase
        ReleaseSet lacking;        // the systems where it keeps the image from loading
        ReleaseSet unlessUpdated;  // of those, the ones where a named update would help
    };

    // --- Shared by the parts (CheckDisc.cpp) ------------------------------------------------------
    // line: the line of the file the finding is about, from 1; 0 for none.
    void Add(const std::string& code, const std::string& path, const std::string& detail = "",
             std::size_t line = 0);
    // A whole file of the disc, when it is no larger than a program of a disc is; read through
    // the disc's one reader, as every file of the disc is.
    bool ReadSmallFile(const DiscEntry& entry, std::string& bytes);
    // Entries of a folder of the disc, read once; an unreadable folder (which the walk reports)
    // holds nothing.
    const DiscFolder& EntriesOf(const DiscEntry& folder);
    void NoteCase(const std::string& path, const std::string& asked);

    // --- The launcher's programs and libraries (CheckImages.cpp) ----------------------------------
    void CheckImages();
    // What Windows shows of the program before it runs: its signature, its version texts.
    void CheckIdentity(const std::string& file, const DiscEntry& entry);
    void CheckImage(const ImageRole& role, const std::string& file, const DiscEntry& entry,
                    ImageFacts& facts);
    void CheckControl(const PeImage& image, const std::string& path);
    // A library of the disc, read once however many images and import entries name it.
    const Library& LibraryOf(const DiscEntry& entry);
    // What of the image's imports neither the systems nor the disc satisfy, each as a phrase
    // with the systems it concerns. Libraries of the disc are looked for beside the image (the
    // disc's root, for all of the launcher's files), as Windows looks for them, and in turn
    // checked themselves.
    std::vector<ImportProblem> Unresolved(const PeImage& image, std::set<std::string>& visited);

    // --- Inserting the disc (CheckAutorun.cpp) ----------------------------------------------------
    void CheckAutorun();
    // The icon that AutoPlay and Explorer show for the disc: an .ico file, or the first icon
    // (or the one numbered after the comma) of a program.
    void CheckAutorunIcon(std::string icon, std::size_t line);

    // --- The pages (CheckPages.cpp) ---------------------------------------------------------------
    void CheckLanguages();

    // --- The links of the pages (CheckPageLinks.cpp) ----------------------------------------------
    // Every page the start pages reach, and whether what each links to is on the disc.
    void FollowPages();
    // The entry at parts (names compared as Windows compares them) and, in names, its path as
    // the disc spells it; null when the disc has none there.
    const DiscEntry* Locate(const std::vector<std::string>& parts, std::vector<std::string>& names);
    // A finding of which one page may have many, one per link.
    void AddLinkFinding(const std::string& code, const std::string& page,
                        const std::string& detail);

    // --- Names and lengths (CheckNames.cpp) -------------------------------------------------------
    // The code pages under which a name is read: a language folder's pages only on the systems
    // that choose that folder; everything else, the default folder included, on all of them.
    std::set<int> PagesFor(const std::vector<std::string>& parts) const;
    std::string PageLabel(int page) const;
    void CheckName(const DiscEntry& entry, const std::vector<std::string>& parts,
                   const std::string& path);
    // Why the path is too long for MAX_PATH-bound calls, even at a drive's root; empty if not.
    std::string PathLengthProblem(const std::vector<std::string>& parts) const;
    void Walk(const DiscFolder& folder, const std::vector<std::string>& parents,
              Reported reported);

    const DiscReader& reader_;
    std::filesystem::path root_;
    std::vector<Finding>& findings_;
    std::vector<ImageFacts>* images_;
    std::vector<std::pair<std::string, std::vector<std::uint16_t>>> folders_;
    DiscFolder rootEntries_;
    std::map<std::string, DiscFolder> listed_;
    std::map<std::string, Library> libraries_;
    std::set<std::string> added_;
    std::vector<std::string> unsigned_;  // the launcher's images without a signature
    std::set<std::string> spellings_;
    std::string defaultFold_;
    std::map<std::string, std::set<int>> pagesOf_;
    std::set<int> allPages_;
    std::vector<std::vector<std::string>> startPages_;  // the launcher's, from the disc's root
};

}  // namespace checkdisc
