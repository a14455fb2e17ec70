// What Windows shows of a program before it runs it: the publisher from its signature (and
// whether the signature still matches the file), its icon and its version texts.
#pragma once

#include <cstdint>
#include <string>

#include "kit/disc/Sha256.h"

struct ImageIdentity {
    bool hasSignature = false;
    // With a signature: false when the file no longer hashes to the digest the signature holds.
    bool signatureMatches = true;
    bool hasIcon = false;     // an icon group resource
    bool hasVersion = false;  // a version resource
    // Its resource tree is past what disckit reads (kMaxResourceEntries): nothing was read.
    bool resourcesTooLarge = false;
};

// Reads the identity of a PE image. False when the image cannot be read as one, or its resource
// tree is too large to read (resourcesTooLarge).
bool ReadImageIdentity(const std::string& image, ImageIdentity& identity);

