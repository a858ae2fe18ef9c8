// Reads one entry of a zip archive into memory.
#pragma once

#include <cstddef>
#include <string>

namespace TalvekLib {

// Largest entry the loader accepts; model documents are a few megabytes.
constexpr std::size_t kMaxZipEntryBytes = 256u * 1024u * 1024u;

// Returns the bytes of `entryName` (whole path inside the archive, letter case
// ignored). The returned string's c_str() is zero-terminated after the entry.
// Throws std::runtime_error "Unable to open zip file data." when the archive
// cannot be opened and "Unable to locate data in zip stream." when the entry is
// missing, unreadable or larger than kMaxZipEntryBytes.
std::string readZipEntry(const std::string& archivePath, const std::string& entryName);

}  // namespace TalvekLib
