// What the keychain stand-in made of its store files (a parsed list, a key with its
// certificate), kept while the files stay as they were, so that a lookup of unchanged files
// neither reads nor parses them again.
//
// An entry is made from a group of files (one file, or an item's key and certificate file)
// and is found by their paths. A lookup opens every file of the group and takes its stamp
// with one fstat (StoreFile::Stamp: device, inode, size, modification and change times). A
// file is known unchanged when its stamp is the one recorded and its change time lies well
// before the moment its recorded contents were read (kSettleTime): every later change gives
// the file a later change time, and so another stamp. A file changed shortly before it was
// read could be changed again within the same tick of the file system's clock, in place and
// to the same size, with nothing in its stamp to show it; such a file is read again at every
// lookup until it has settled. Contents that are read and are the bytes recorded keep the
// entry as it is (only the stamps are renewed); other bytes are parsed anew. A file that
// cannot be opened or read fails the lookup as a plain read would, and the entry is dropped.
//
// Not thread-safe: its owner guards it with a lock of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Keychain/StoreFile.h"

namespace platform {

template <class Value>
class StoreFileCache {
public:
    // Longer than the coarsest clock of the file systems a home directory lives on (one
    // second) plus the lag of the kernel's clock for file times.
    static constexpr std::chrono::seconds kSettleTime{2};

    struct Result {
        // The parsed value; nullptr when a file of the group failed.
        std::shared_ptr<const Value> value;
        // When a file failed: the first of the group (in order) that did, and its read result
        // (Missing or Failed, with the reason).
        size_t failedIndex = 0;
        StoreFile::ReadResult failure;
    };
    using Parse = std::function<Value(const std::vector<std::string>& contents)>;

    // The value made by parse from the contents of the files, in the order of paths. parse is
    // called only for contents that differ from those the entry was made of. An exception from
    // parse goes to the caller, and the files' entry is forgotten.
    Result get(const std::vector<std::string>& paths, const Parse& parse) {
        const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
        auto found = entries_.find(paths);
        Entry* entry = found != entries_.end() ? &found->second : nullptr;
        std::vector<StoreFile::ReadResult> reads;
        reads.reserve(paths.size());
        for (size_t i = 0; i < paths.size(); ++i) {
            reads.push_back(StoreFile::read(paths[i], [&](const StoreFile::Stamp& stamp) {
                return !(entry && entry->files[i].stamp == stamp && settled(entry->files[i]));
            }));
        }
        for (size_t i = 0; i < reads.size(); ++i) {
            if (reads[i].status != StoreFile::ReadStatus::Ok) {
                if (entry) entries_.erase(found);
                Result result;
                result.failedIndex = i;
                result.failure = std::move(reads[i]);
                return result;
            }
        }
        bool same = entry != nullptr;
        std::vector<File> files(paths.size());
        for (size_t i = 0; i < reads.size(); ++i) {
            files[i].stamp = reads[i].stamp;
            if (reads[i].read) {
                files[i].contents = std::move(reads[i].contents);
                files[i].verifiedAtNs = now;
                if (entry && files[i].contents != entry->files[i].contents) same = false;
            } else {
                files[i].contents = std::move(entry->files[i].contents);
                files[i].verifiedAtNs = entry->files[i].verifiedAtNs;
            }
        }
        if (!same) {
            std::vector<std::string> contents;
            contents.reserve(files.size());
            for (const auto& f : files) contents.push_back(f.contents);
            std::shared_ptr<const Value> value;
            try {
                value = std::make_shared<const Value>(parse(contents));
            } catch (...) {
                // The entry gave up the contents of its unread files to this lookup: kept, it
                // would give them as empty to the next one.
                if (entry) entries_.erase(found);
                throw;
            }
            entry = &entries_[paths];
            entry->value = std::move(value);
        }
        entry->files = std::move(files);
        entry->used = true;
        Result result;
        result.value = entry->value;
        return result;
    }

    // Forgets the entries not asked for since the last call. Called at the end of a whole
    // pass over the store, so that the cache holds no more than the store does.
    void forgetUnused() {
        for (auto it = entries_.begin(); it != entries_.end();) {
            if (!it->second.used) {
                it = entries_.erase(it);
            } else {
                it->second.used = false;
                ++it;
            }
        }
    }

    void clear() { entries_.clear(); }
    size_t size() const { return entries_.size(); }

private:
    struct File {
        StoreFile::Stamp stamp;
        std::string contents;
        std::int64_t verifiedAtNs = 0;  // the wall-clock time just before contents were read
    };
    struct Entry {
        std::vector<File> files;
        std::shared_ptr<const Value> value;
        bool used = false;
    };

    static bool settled(const File& file) {
        const auto settle = std::chrono::duration_cast<std::chrono::nanoseconds>(kSettleTime).count();
        return file.stamp.changedNs + settle < file.verifiedAtNs;
    }

    std::map<std::vector<std::string>, Entry> entries_;
};

}  // namespace platform
