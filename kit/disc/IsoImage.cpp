#include "kit/disc/IsoImage.h"

#include <algorithm>
#include <set>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kit/common/Utf8.h"
#include "kit/disc/LittleEndian.h"
#include "kit/windows/WindowsText.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kSector = 2048;
constexpr std::size_t kSectorBytes = 2048;  // the same, for what is held in memory
constexpr std::uint64_t kFirstDescriptor = 16;
constexpr int kMaxDescriptors = 64;
// A folder of 200,000 entries of the longest names takes about 51 MB.
constexpr std::uint64_t kMaxFolderBytes = 64u << 20;
// Rock Ridge: continuation areas followed per record, and the longest name kept.
constexpr int kMaxContinuations = 8;
constexpr std::size_t kMaxRockName = 1024;
constexpr std::size_t kMaxPieces = 4096;  // extents of one file

// Where a file's bytes lie: one extent, or several for a file recorded in pieces.
struct Piece {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};
using Extents = std::vector<Piece>;

std::uint64_t TotalSize(const Extents& extents) {
    std::uint64_t total = 0;
    for (const Piece& piece : extents) total += piece.size;
    return total;
}

// A file's bytes: its extents of the image, read piece by piece.
class SliceBytes : public ByteSource {
public:
    SliceBytes(std::shared_ptr<ByteSource> image, Extents extents)
        : image_(std::move(image)), extents_(std::move(extents)), size_(TotalSize(extents_)) {}
    std::uint64_t Size() const override { return size_; }
    bool Read(std::uint64_t offset, void* out, std::size_t size) override {
        if (offset > size_ || size > size_ - offset) return false;
        auto* to = static_cast<unsigned char*>(out);
        for (const Piece& piece : extents_) {
            if (size == 0) break;
            if (offset >= piece.size) {
                offset -= piece.size;
                continue;
            }
            const std::uint64_t take = std::min<std::uint64_t>(size, piece.size - offset);
            if (!image_->Read(piece.offset + offset, to, static_cast<std::size_t>(take))) {
                return false;
            }
            to += take;
            size -= static_cast<std::size_t>(take);
            offset = 0;
        }
        return size == 0;
    }

private:
    std::shared_ptr<ByteSource> image_;
    Extents extents_;
    std::uint64_t size_;
};

// A name from the disc that cannot be part of a path here ('/', '\', NUL) or is no text at all
// becomes '?', which Windows cannot hold either, so the check still reports the name.
void AppendNameChar(char32_t c, std::string& out) {
    if (c == 0 || c == '/' || c == '\\') {
        out += '?';
    } else {
        AppendUtf8(c, out);
    }
}

// Joliet: UCS-2 big endian, read as UTF-16 as Windows does. A surrogate without its partner, or
// an odd byte at the end, becomes '?'.
std::string JolietName(const std::string& id) {
    std::string out;
    const std::size_t units = id.size() / 2;
    const auto unit = [&](std::size_t i) {
        return static_cast<char32_t>(static_cast<unsigned char>(id[2 * i]) << 8 |
                                     static_cast<unsigned char>(id[2 * i + 1]));
    };
    for (std::size_t i = 0; i < units; ++i) {
        const char32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 &&
            unit(i + 1) <= 0xDFFF) {
            AppendNameChar(0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00), out);
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            out += '?';
        } else {
            AppendNameChar(u, out);
        }
    }
    if (id.size() % 2) out += '?';
    return out;
}

// Bytes taken as UTF-8 where they are that, each byte of anything else as '?'.
std::string TextName(const std::string& bytes) {
    std::string out;
    for (std::size_t at = 0; at < bytes.size();) {
        char32_t c = 0;
        const std::size_t length = DecodeUtf8At(bytes, at, c);
        if (length == 0) {
            out += '?';
            ++at;
        } else {
            AppendNameChar(c, out);
            at += length;
        }
    }
    return out;
}

// A plain ISO 9660 name as Windows shows it: without its version (";1") and the dot of a name
// without extension, upper case.
std::string PlainName(std::string name) {
    const std::size_t version = name.rfind(';');
    if (version != std::string::npos) name.erase(version);
    if (!name.empty() && name.back() == '.') name.pop_back();
    for (char& c : name) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    }
    return TextName(name);
}

enum class Names { Joliet, Plain, RockRidge };

// One directory record, its lengths already checked against its folder.
struct Record {
    std::string id;  // the file identifier's bytes
    std::uint64_t data = 0;  // where its extent starts, in bytes (extended attributes skipped)
    std::uint32_t size = 0;
    bool folder = false;
    bool morePieces = false;  // another record of the same file follows
    const unsigned char* use = nullptr;  // the system use area (Rock Ridge)
    std::size_t useLength = 0;
};

// What Rock Ridge says of a record.
struct RockFacts {
    bool named = false;
    std::string name;
    bool relocated = false;  // a folder moved here from deeper down: listed where CL points
    bool child = false;      // a stand-in for a relocated folder, which lies at childSector
    std::uint32_t childSector = 0;
};

// One tree of the image: every folder's listing and every file's extents, by path. The tree that
// is only compared with the other keeps no listings and no index of its files.
struct Tree {
    struct File {
        std::string path;  // relative, backslashes
        std::string fold;  // the same, upper case as Windows compares names
        Extents extents;
    };
    std::unordered_map<fs::path::string_type, DiscFolder> folders;
    std::unordered_map<fs::path::string_type, std::size_t> files;  // in list
    std::vector<File> list;
};

std::string Slashed(const std::string& parent, const std::string& name) {
    return parent.empty() ? name : parent + "\\" + name;
}

class TreeReader {
public:
    TreeReader(ByteSource& image, const fs::path& root, Names names, Tree& tree)
        : image_(image), root_(root), names_(names), listings_(names != Names::RockRidge),
          tree_(tree), budget_(image.Size()), continuations_(image.Size()) {}

    bool Read(std::uint64_t sector, std::uint32_t size, std::string& error) {
        seen_.insert(sector);
        return ReadFolder(root_, "", sector, size, 0, error);
    }

private:
    bool Damaged(const std::string& where, const std::string& what, std::string& error) {
        error = PathToUtf8(root_) + ": " + what + " in the image's folder " +
                (where.empty() ? std::string("\\") : where);
        return false;
    }

    bool ReadExtent(std::uint64_t offset, std::uint64_t size, std::vector<unsigned char>& bytes) {
        if (offset > image_.Size() || size > image_.Size() - offset) return false;
        bytes.resize(static_cast<std::size_t>(size));
        return size == 0 || image_.Read(offset, bytes.data(), bytes.size());
    }

    bool ReadFolder(const fs::path& folder, const std::string& where, std::uint64_t sector,
                    std::uint32_t size, std::size_t depth, std::string& error) {
        // One buffer for every folder: a folder's records are done with before its folders
        // are read.
        std::vector<unsigned char>& bytes = bytes_;
        // Folders of a well-formed image do not overlap: all of them together are no larger
        // than the image, however the records point.
        if (size > kMaxFolderBytes || size > budget_) {
            return Damaged(where, "more bytes of folders than the image holds", error);
        }
        budget_ -= size;
        if (!ReadExtent(sector * kSector, size, bytes)) {
            return Damaged(where, "a folder extent outside the image", error);
        }
        std::vector<DiscEntry> entries;
        std::vector<std::pair<DiscEntry, Record>> folders;
        std::string continuing;  // the identifier of a file whose next piece follows
        Extents* pieces = nullptr;  // its extents
        for (std::size_t at = 0; at < bytes.size();) {
            const std::size_t length = bytes[at];
            if (length == 0) {  // the rest of the sector is padding
                at = (at / kSectorBytes + 1) * kSectorBytes;
                continue;
            }
            const unsigned char* r = bytes.data() + at;
            if (length < 34 || length > bytes.size() - at || 33u + r[32] > length) {
                return Damaged(where, "a damaged record", error);
            }
            Record record;
            record.id.assign(reinterpret_cast<const char*>(r + 33), r[32]);
            record.data = (static_cast<std::uint64_t>(Le32(r + 2)) + r[1]) * kSector;
            record.size = Le32(r + 10);
            record.folder = (r[25] & 0x02) != 0;
            record.morePieces = (r[25] & 0x80) != 0 && !record.folder;
            const std::size_t use = 33u + r[32] + (r[32] % 2 == 0 ? 1 : 0);
            record.use = r + std::min<std::size_t>(use, length);
            record.useLength = length > use ? length - use : 0;
            at += length;

            if (record.id.size() == 1 && (record.id[0] == '\0' || record.id[0] == '\1')) continue;
            if (pieces && record.id == continuing && !record.folder) {
                if (pieces->size() >= kMaxPieces) {
                    return Damaged(where, "a file in more pieces than disckit reads", error);
                }
                pieces->push_back({record.data, record.size});
                if (!record.morePieces) pieces = nullptr;
                continue;
            }
            pieces = nullptr;
            if (++entries_ > kMaxImageEntries) {
                error = PathToUtf8(root_) + ": the image holds more than " +
                        std::to_string(kMaxImageEntries) + " files and folders";
                return false;
            }
            std::string name;
            if (names_ == Names::Joliet) {
                name = JolietName(record.id);
            } else {
                RockFacts rock;
                if (names_ == Names::RockRidge) ReadRockRidge(record, rock);
                if (rock.relocated) continue;
                if (rock.child) {
                    if (!RelocatedFolder(rock.childSector, record)) continue;
                }
                name = rock.named ? TextName(rock.name) : PlainName(record.id);
            }
            if (name.empty()) name = "?";
            DiscEntry entry;
            entry.name = name;
            // Joined as text: a name is never taken for a root or a drive.
            entry.path = folder;
            entry.path += fs::path::preferred_separator;
            entry.path += Utf8ToPath(name);
            // An image records folders and files only: DiscFolder::Of sets isDirectory, isFile.
            entry.type = record.folder ? EntryType::Folder : EntryType::File;
            if (record.folder) {
                record.use = nullptr;  // its bytes are gone once the next folder is read
                record.useLength = 0;
                folders.push_back({entry, record});
            } else if (!listings_ || tree_.files.emplace(entry.path.native(), tree_.list.size())
                                         .second) {
                const std::string path = Slashed(where, name);
                tree_.list.push_back({path, UpperUtf8(path), Extents{{record.data, record.size}}});
                if (record.morePieces) {
                    continuing = record.id;
                    pieces = &tree_.list.back().extents;
                }
            }
            if (listings_) entries.push_back(std::move(entry));
        }
        tree_.folders.emplace(folder.native(), DiscFolder::Of(std::move(entries)));
        // A folder whose record points at a folder already read (a loop, or two names for one
        // folder), or whose name another folder here already has, is listed but not entered
        // again; too deep a tree ends where the cap is.
        for (const auto& [entry, record] : folders) {
            const std::uint64_t at = record.data / kSector;
            if (depth + 1 >= kMaxImageDepth || tree_.folders.count(entry.path.native()) ||
                !seen_.insert(at).second) {
                tree_.folders.emplace(entry.path.native(), DiscFolder());
                continue;
            }
            if (!ReadFolder(entry.path, Slashed(where, entry.name), at, record.size, depth + 1,
                            error)) {
                return false;
            }
        }
        return true;
    }

    // The system use entries of a record, and of the continuation areas they point to, within
    // their lengths.
    void ReadRockRidge(const Record& record, RockFacts& rock) {
        std::vector<unsigned char> more;
        const unsigned char* p = record.use;
        std::size_t n = record.useLength;
        for (int hops = 0;; ++hops) {
            std::uint64_t next = 0, nextLength = 0;
            for (std::size_t at = 0; at + 4 <= n;) {
                const unsigned char* e = p + at;
                const std::size_t length = e[2];
                if (length < 4 || length > n - at) break;
                const std::string signature(reinterpret_cast<const char*>(e), 2);
                if (signature == "ST") break;
                if (signature == "NM" && length >= 5 && (e[4] & 0x06) == 0) {
                    rock.named = true;
                    const std::size_t room = kMaxRockName - std::min(kMaxRockName, rock.name.size());
                    rock.name.append(reinterpret_cast<const char*>(e + 5),
                                     std::min(length - 5, room));
                } else if (signature == "CE" && length >= 28) {
                    next = static_cast<std::uint64_t>(Le32(e + 4)) * kSector + Le32(e + 12);
                    nextLength = Le32(e + 20);
                } else if (signature == "RE") {
                    rock.relocated = true;
                } else if (signature == "CL" && length >= 12) {
                    rock.child = true;
                    rock.childSector = Le32(e + 4);
                }
                at += length;
            }
            // Continuation areas, like folders, take no more than the image holds in all.
            if (nextLength == 0 || nextLength > kSector || hops >= kMaxContinuations ||
                nextLength > continuations_ || !ReadExtent(next, nextLength, more)) {
                return;
            }
            continuations_ -= nextLength;
            p = more.data();
            n = more.size();
        }
    }

    // A stand-in for a relocated folder becomes that folder: its extent and size are those of
    // the first record ("." ) of the folder it points at.
    bool RelocatedFolder(std::uint64_t sector, Record& record) {
        std::vector<unsigned char> dot;
        if (!ReadExtent(sector * kSector, 34, dot) || dot[0] < 34) return false;
        record.folder = true;
        record.morePieces = false;
        record.data = static_cast<std::uint64_t>(sector) * kSector;
        record.size = Le32(dot.data() + 10);
        return true;
    }

    ByteSource& image_;
    fs::path root_;
    Names names_;
    bool listings_;  // the tree is the disc's, not only compared
    std::vector<unsigned char> bytes_;  // the folder being read
    Tree& tree_;
    std::uint64_t budget_;         // bytes of folders still to be read
    std::uint64_t continuations_;  // bytes of continuation areas still to be read
    std::size_t entries_ = 0;
    std::set<std::uint64_t> seen_;
};

// The root folder's record in a volume descriptor.
struct RootRecord {
    bool found = false;
    std::uint64_t sector = 0;
    std::uint32_t size = 0;
};

RootRecord RootOf(const unsigned char* descriptor) {
    const unsigned char* r = descriptor + 156;
    RootRecord root;
    root.found = r[0] >= 34;
    root.sector = static_cast<std::uint64_t>(Le32(r + 2)) + r[1];
    root.size = Le32(r + 10);
    return root;
}

bool IsJolietEscape(const unsigned char* descriptor) {
    const unsigned char* escapes = descriptor + 88;
    for (std::size_t at = 0; at + 3 <= 32; ++at) {
        if (escapes[at] == '%' && escapes[at + 1] == '/' &&
            (escapes[at + 2] == '@' || escapes[at + 2] == 'C' || escapes[at + 2] == 'E')) {
            return true;
        }
    }
    return false;
}

// What identifies a file's bytes in the image: where they start and how many there are. Empty
// files are all the same, wherever their records point.
std::pair<std::uint64_t, std::uint64_t> BytesOf(const Extents& extents) {
    const std::uint64_t size = TotalSize(extents);
    return {size == 0 || extents.empty() ? 0 : extents.front().offset, size};
}

std::string SectorRange(const Extents& extents) {
    if (extents.empty()) return "nothing";
    return std::to_string(TotalSize(extents)) + " bytes at sector " +
           std::to_string(extents.front().offset / kSector);
}

class IsoReader : public DiscReader {
public:
    IsoReader(std::shared_ptr<ByteSource> image, fs::path name)
        : image_(std::move(image)), name_(std::move(name)) {}

    bool Load(std::string& error) {
        const std::string unreadable = PathToUtf8(name_) + ": not an ISO 9660 image that can be read";
        RootRecord primary, joliet;
        unsigned char sector[kSector];
        for (int i = 0; i < kMaxDescriptors; ++i) {
            const std::uint64_t at = (kFirstDescriptor + static_cast<std::uint64_t>(i)) * kSector;
            if (at > image_->Size() || kSector > image_->Size() - at ||
                !image_->Read(at, sector, sizeof sector) || std::string(
                    reinterpret_cast<const char*>(sector + 1), 5) != "CD001") {
                break;
            }
            if (sector[0] == 255) break;
            if (sector[0] == 1 && !primary.found) {
                if (Le16(sector + 128) != kSector) {
                    error = PathToUtf8(name_) + ": an ISO 9660 image with blocks of " +
                            std::to_string(Le16(sector + 128)) + " bytes, which disckit does not "
                            "read";
                    return false;
                }
                primary = RootOf(sector);
            } else if (sector[0] == 2 && sector[6] == 1 && !joliet.found &&
                       IsJolietEscape(sector)) {
                joliet = RootOf(sector);
            }
        }
        if (!primary.found) {
            error = unreadable;
            return false;
        }
        if (!joliet.found) {
            return TreeReader(*image_, name_, Names::Plain, tree_)
                .Read(primary.sector, primary.size, error);
        }
        if (!TreeReader(*image_, name_, Names::Joliet, tree_).Read(joliet.sector, joliet.size,
                                                                   error)) {
            return false;
        }
        Tree other;
        std::string why;
        if (!TreeReader(*image_, name_, Names::RockRidge, other)
                 .Read(primary.sector, primary.size, why)) {
            notes_.push_back({"image-trees-disagree", "",
                              "The ISO 9660 tree cannot be read at all (" +
                                  why.substr(std::min(why.size(), PathToUtf8(name_).size() + 2)) +
                                  ")."});
            return true;
        }
        Compare(other);
        return true;
    }

    const fs::path& Root() const override { return name_; }

    bool ListRoot(DiscFolder& entries, std::string& error) const override {
        return ListPath(name_, entries, error);
    }

    bool List(const DiscEntry& folder, DiscFolder& entries, std::string& error) const override {
        return ListPath(folder.path, entries, error);
    }

    std::unique_ptr<ByteSource> Open(const DiscEntry& file, std::string& why) const override {
        const auto it = tree_.files.find(file.path.native());
        if (it == tree_.files.end()) {
            why = "it is no file of the image";
            return nullptr;
        }
        const Extents& extents = tree_.list[it->second].extents;
        for (const Piece& piece : extents) {
            // An empty file's extent may be anywhere: nothing of it is read.
            if (piece.size != 0 &&
                (piece.offset > image_->Size() || piece.size > image_->Size() - piece.offset)) {
                why = "its recorded place lies outside the image";
                return nullptr;
            }
        }
        return std::make_unique<SliceBytes>(image_, extents);
    }

    std::uint64_t SizeOf(const DiscEntry& file) const override {
        const auto it = tree_.files.find(file.path.native());
        return it == tree_.files.end() ? 0 : TotalSize(tree_.list[it->second].extents);
    }

    std::vector<DiscNote> Notes() const override { return notes_; }

private:
    // The files of the Joliet tree (this reader's) against those of the ISO 9660 tree: the same
    // name, compared as Windows compares names, must lead to the same bytes. Where names cannot
    // be matched (an image without Rock Ridge names shortens long ones, and moves deep folders),
    // a file is in both trees when both record its extent.
    void Compare(const Tree& other) {
        std::unordered_map<std::string, const Tree::File*> byName;
        std::set<std::pair<std::uint64_t, std::uint64_t>> ours, theirs;
        for (const Tree::File& file : other.list) {
            byName.emplace(file.fold, &file);
            theirs.insert(BytesOf(file.extents));
        }
        std::set<const Tree::File*> matched;
        std::vector<DiscNote> found;
        for (const Tree::File& file : tree_.list) {
            const Extents& extents = file.extents;
            ours.insert(BytesOf(extents));
            const auto it = byName.find(file.fold);
            if (it != byName.end()) {
                matched.insert(it->second);
                const Extents& theirExtents = it->second->extents;
                if (BytesOf(extents) != BytesOf(theirExtents)) {
                    found.push_back({"image-trees-disagree", file.path,
                                     "Windows reads " + SectorRange(extents) +
                                         "; the ISO 9660 tree gives " +
                                         SectorRange(theirExtents) + " under this name."});
                }
            } else if (!theirs.count(BytesOf(extents))) {
                found.push_back({"image-trees-disagree", file.path,
                                 "Only the Joliet tree, which Windows reads, holds this file."});
            }
        }
        for (const Tree::File& file : other.list) {
            const Extents& extents = file.extents;
            if (matched.count(&file) || ours.count(BytesOf(extents))) {
                continue;
            }
            found.push_back({"image-trees-disagree", file.path,
                             "Only the ISO 9660 tree holds this file; Windows does not see it."});
        }
        if (found.size() > kMaxTreeNotes) {
            const std::size_t more = found.size() - kMaxTreeNotes;
            found.resize(kMaxTreeNotes);
            found.push_back({"image-trees-disagree", "",
                             "The trees disagree on " + std::to_string(more) +
                                 " more files, not listed one by one."});
        }
        notes_.insert(notes_.end(), found.begin(), found.end());
    }

    bool ListPath(const fs::path& folder, DiscFolder& entries, std::string& error) const {
        const auto it = tree_.folders.find(folder.native());
        if (it == tree_.folders.end()) {
            entries = DiscFolder();
            error = "no folder " + PathToUtf8(folder) + " in the image";
            return false;
        }
        entries = it->second;
        return true;
    }

    std::shared_ptr<ByteSource> image_;
    fs::path name_;
    Tree tree_;
    std::vector<DiscNote> notes_;
};

}  // namespace

std::unique_ptr<DiscReader> OpenIsoImage(std::unique_ptr<ByteSource> bytes, const fs::path& name,
                                         std::string& error) {
    auto reader = std::make_unique<IsoReader>(std::shared_ptr<ByteSource>(std::move(bytes)), name);
    if (!reader->Load(error)) return nullptr;
    return reader;
}

std::unique_ptr<DiscReader> OpenIsoImage(const fs::path& image, std::string& error) {
    // The image is what the user named, links and all; its bytes are then read from the file
    // that name led to, held open, never through a link the name leads to later.
    std::error_code ec;
    fs::path file = fs::canonical(image, ec);
    if (ec) file = image;
    auto bytes = std::make_unique<FileBytes>();
    if (!bytes->Open(file)) {
        error = PathToUtf8(image) + ": " + bytes->Problem();
        return nullptr;
    }
    return OpenIsoImage(std::move(bytes), image, error);
}
