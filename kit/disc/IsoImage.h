// An ISO 9660 image read in place, as Windows reads a pressed disc: the Joliet names when the
// image has them (long names, their case kept), else the plain ISO 9660 ones without their
// ";1". Nothing is unpacked. The image is hostile input: the tree is read once, within caps on
// entries and depth, folders reached twice are not entered again, and a file whose recorded
// extent lies outside the image cannot be opened.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "kit/disc/DiscReader.h"

// Whether this build of disckit can read images at all (the library is not there for every host).
bool ImagesSupported();

// The image's reader; null, with the reason in error, when it is no image this reader can read.
std::unique_ptr<DiscReader> OpenIsoImage(const std::filesystem::path& image, std::string& error);

constexpr std::size_t kMaxImageEntries = 200000;
constexpr std::size_t kMaxImageDepth = 64;
