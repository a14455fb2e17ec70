// disckit cache: where the trial keeps its Wine prefix templates between runs, listed and
// cleaned.
#pragma once

#include <cstdint>
#include <string>

// A size as people read it: "512 bytes", "4.2 kB", "589 MB", "1.3 GB" (powers of 1000).
std::string CacheSize(std::uint64_t bytes);

// The cache's folder: root's /var/cache/disckit; else $XDG_CACHE_HOME/disckit when that is an
// absolute path, else HOME's .cache/disckit, else the account's home folder's; empty when
// there is none.
std::string CacheFolder(bool root, const char* xdgCacheHome, const char* home,
                        const char* accountHome);
