// An ISO 9660 image read in place, as Windows reads a pressed disc: the Joliet names when the
// image has them (long names, their case kept), else the plain ISO 9660 ones without their
// ";1". Nothing is unpacked. The image is hostile input, read by disckit's own bounded reader:
// every record's lengths and every extent are checked against the sector, the folder and the
// image before use; the tree is read once, in one pass, within caps on entries, depth and the
// bytes of folders read; folders reached twice are not entered again, and a file whose recorded
// extent lies outside the image cannot be opened.
//
// Where the image has Joliet names, its plain ISO 9660 tree (with Rock Ridge names where it has
// them) is read too and compared file by file: other systems and tools read that tree, and a disc
// whose trees disagree is not the same disc everywhere (the reader's Notes say where).
#pragma once

#include <map>
#include <memory>
#include <string>

#include "kit/disc/DiscReader.h"

// The image's reader; null, with the reason in error, when it is no image this reader can read.
std::unique_ptr<DiscReader> OpenIsoImage(const std::filesystem::path& image, std::string& error);
// The same for an image's bytes already at hand; name is what the reader's Root() says.
std::unique_ptr<DiscReader> OpenIsoImage(std::unique_ptr<ByteSource> bytes,
                                         const std::filesystem::path& name, std::string& error);

constexpr std::size_t kMaxImageEntries = 200000;
constexpr std::size_t kMaxImageDepth = 64;
// At most this many disagreements between the trees are told one by one.
constexpr std::size_t kMaxTreeNotes = 100;
