#include "kit/check/CheckIdentity.h"

#include <cstring>
#include <vector>

#include "kit/disc/PeHeaders.h"
#include "kit/disc/PeResources.h"
#include "kit/disc/Sha256.h"

namespace {

// The SHA-256 digest a signature's signed content holds for its file: the digest that follows
// the image-data marker inside the indirect-data content. Empty when there is none (another
// digest algorithm, or not a signature of a program).
std::string SignedDigest(const std::string& blob) {
    static const std::string kIndirectData("\x06\x0A\x2B\x06\x01\x04\x01\x82\x37\x02\x01\x04", 12);
    static const std::string kImageData("\x06\x0A\x2B\x06\x01\x04\x01\x82\x37\x02\x01\x0F", 12);
    static const std::string kSha256("\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01", 11);
    std::size_t at = blob.find(kIndirectData);
    if (at == std::string::npos) return {};
    at = blob.find(kImageData, at);
    if (at == std::string::npos) return {};
    at = blob.find(kSha256, at);
    if (at == std::string::npos) return {};
    at += kSha256.size();
    if (blob.compare(at, 2, std::string("\x05\x00", 2)) == 0) at += 2;
    if (at + 34 > blob.size() || blob[at] != '\x04' || blob[at + 1] != '\x20') return {};
    return blob.substr(at + 2, 32);
}

}  // namespace

bool ReadImageIdentity(const std::string& image, ImageIdentity& identity) {
    identity = ImageIdentity();
    std::vector<Resource> resources;
    std::string problem;
    if (!ReadPeResources(image, resources, problem)) {
        identity.resourcesTooLarge = problem == kResourceTreeTooLarge;
        return false;
    }
    for (const Resource& r : resources) {
        if (r.type.named) continue;
        identity.hasIcon = identity.hasIcon || r.type.number == kResourceGroupIcon;
        identity.hasVersion = identity.hasVersion || r.type.number == kResourceVersion;
    }
    // The resources were read, so the headers can be: they hold the security directory.
    BorrowedBytes bytes(image);
    PeHeaders headers;
    std::string why;
    if (!ReadPeHeaders(bytes, headers, why) || headers.directoryCount <= kPeSecurity) return true;
    const std::size_t checksum = static_cast<std::size_t>(headers.ChecksumAt());
    const std::size_t security = static_cast<std::size_t>(headers.DirectoryEntryAt(kPeSecurity));
    // The security directory holds a file offset, not an address in memory.
    const std::uint32_t at = headers.Directory(kPeSecurity).rva;
    const std::uint32_t size = headers.Directory(kPeSecurity).size;
    if (at == 0 || size == 0) return true;
    identity.hasSignature = true;
    identity.signatureMatches = false;
    if (at > image.size() || image.size() - at < size || size < 8 || at < security + 8) return true;
    // The file's digest leaves out the checksum, the security directory's entry and the
    // certificates themselves.
    Sha256State state;
    state.Update(image.data(), checksum);
    state.Update(image.data() + checksum + 4, security - checksum - 4);
    state.Update(image.data() + security + 8, at - security - 8);
    const std::string digest = state.Final();
    const std::string blob = image.substr(at + 8, size - 8);
    const std::string expected = SignedDigest(blob);
    // A signature made with another digest algorithm: this check cannot tell, Windows can.
    identity.signatureMatches = expected.empty() || expected == digest;
    return true;
}
