#include "kit/simulate/SimDisc.h"

#include "kit/disc/DiscReader.h"

namespace fs = std::filesystem;

namespace {

SimDisc::Entry EntryOf(const DiscReader& reader, const DiscEntry& found) {
    SimDisc::Entry e;
    e.name = found.name;
    e.directory = found.isDirectory;
    // Asked for here, not for every entry of every folder listed.
    e.size = found.isFile ? reader.SizeOf(found) : 0;
    e.hostPath = found.path;
    return e;
}

}  // namespace

SimDisc::SimDisc(fs::path root)
    : root_(root),
      owned_(std::make_unique<FolderReader>(std::move(root))),
      reader_(owned_.get()),
      lookup_(*reader_) {}

SimDisc::SimDisc(const DiscReader& reader)
    : root_(reader.Root()), reader_(&reader), lookup_(reader) {}

SimDisc::~SimDisc() = default;

bool SimDisc::Find(const std::vector<std::string>& components, Entry& entry) const {
    bool found = false;
    const DiscEntry* reached = lookup_.Reach(components, found);
    if (!found) return false;
    if (reached) {
        entry = EntryOf(*reader_, *reached);
    } else {
        entry = Entry();
        entry.directory = true;
        entry.hostPath = root_;
    }
    return true;
}

std::vector<SimDisc::Entry> SimDisc::List(const std::vector<std::string>& components) const {
    std::vector<Entry> out;
    bool found = false;
    const DiscEntry* folder = lookup_.Reach(components, found);
    if (!found || (folder && !folder->isDirectory)) return out;
    const DiscFolder& listing = lookup_.Folder(folder);
    for (const DiscEntry& item : listing.Entries()) {
        // Of names that differ only in case, the one a lookup reaches.
        if (item.Pressed() && listing.Find(item.name).entry == &item) {
            out.push_back(EntryOf(*reader_, item));
        }
    }
    return out;
}
