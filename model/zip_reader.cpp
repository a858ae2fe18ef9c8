#include "model/zip_reader.h"

#include <zip.h>

#include <memory>
#include <stdexcept>

namespace TalvekLib {

namespace {

[[noreturn]] void entryNotFound() { throw std::runtime_error("Unable to locate data in zip stream."); }

struct ArchiveCloser {
    void operator()(zip_t* archive) const { zip_discard(archive); }  // read-only: nothing to write back
};
struct EntryCloser {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};

}  // namespace

std::string readZipEntry(const std::string& archivePath, const std::string& entryName) {
    int error = 0;
    std::unique_ptr<zip_t, ArchiveCloser> archive(zip_open(archivePath.c_str(), ZIP_RDONLY, &error));
    if (!archive) throw std::runtime_error("Unable to open zip file data.");

    // Whole path inside the archive, letter case ignored (no ZIP_FL_NODIR: an
    // entry in a folder does not match a bare name).
    const zip_int64_t index = zip_name_locate(archive.get(), entryName.c_str(), ZIP_FL_NOCASE);
    if (index < 0) entryNotFound();

    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive.get(), static_cast<zip_uint64_t>(index), 0, &stat) != 0 ||
        (stat.valid & ZIP_STAT_SIZE) == 0) {
        entryNotFound();
    }
    // The declared size comes from the file: check it before allocating.
    if (stat.size > kMaxZipEntryBytes) entryNotFound();

    std::unique_ptr<zip_file_t, EntryCloser> entry(zip_fopen_index(archive.get(), static_cast<zip_uint64_t>(index), 0));
    if (!entry) entryNotFound();

    std::string bytes(static_cast<std::size_t>(stat.size), '\0');
    zip_uint64_t done = 0;
    while (done < stat.size) {
        const zip_int64_t got = zip_fread(entry.get(), &bytes[done], stat.size - done);
        if (got <= 0) entryNotFound();
        done += static_cast<zip_uint64_t>(got);
    }
    // One more read must hit the end: it makes libzip verify the checksum and
    // catches an entry longer than its directory record says.
    char extra = 0;
    if (zip_fread(entry.get(), &extra, 1) != 0) entryNotFound();
    return bytes;
}

}  // namespace TalvekLib
