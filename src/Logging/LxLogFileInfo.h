// One log file of the file logger: its path, its attributes (read lazily and cached) and its
// archived mark, which is kept on the file itself as the extended attribute "log.archived",
// so that it survives restarts.
//
// No guard of its own: an instance is used on one queue at a time (the file logger's queue,
// or the hub's queue for a deletion pass, each with instances of its own).
#pragma once

#include <chrono>
#include <compare>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Files/FileAttributes.h"

class LxLogFileInfo {
public:
    using Date = std::chrono::system_clock::time_point;

    static std::shared_ptr<LxLogFileInfo> logFileWithPath(std::string filePath);
    explicit LxLogFileInfo(std::string filePath);

    const std::string& filePath() const { return filePath_; }
    // The last path component.
    const std::string& fileName();
    // The attributes of the file; nothing when it cannot be examined.
    const std::optional<platform::FileAttributes>& fileAttributes();
    std::optional<Date> creationDate();
    std::optional<Date> modificationDate();
    // The size in bytes. Kept once it is not 0; a 0 is looked up again on the next call (from
    // the cached attributes).
    uint64_t fileSize();
    // Seconds since the creation date (not cached); 0 when there is no creation date.
    double age();

    // Whether the file carries the archived mark (asked of the file system each time).
    bool isArchived() const;
    void setIsArchived(bool archived);

    // Forgets the cached name, attributes and dates (not the size).
    void reset();
    // Renames the file within its directory (nothing when the name is the same). A failure is
    // logged through the plain log call; the new path is adopted either way.
    void renameFile(const std::string& newFileName);

    bool hasExtendedAttributeWithName(const std::string& attrName) const;
    // Sets the attribute with an empty value; a failure is logged through the plain log call.
    void addExtendedAttributeWithName(const std::string& attrName);
    // Removes the attribute; a failure other than a missing attribute is logged.
    void removeExtendedAttributeWithName(const std::string& attrName);

    // Newest first: `less` when this file was created after the other one. A file without a
    // creation date counts as the oldest.
    std::weak_ordering reverseCompareByCreationDate(LxLogFileInfo& other);
    std::weak_ordering reverseCompareByModificationDate(LxLogFileInfo& other);

    // A readable summary: path, name, attributes, dates, size, age and archived mark.
    std::string description();

    // Two infos are equal when their paths are.
    friend bool operator==(const LxLogFileInfo& a, const LxLogFileInfo& b) { return a.filePath_ == b.filePath_; }

private:
    std::string filePath_;
    std::optional<std::string> fileName_;
    std::optional<std::optional<platform::FileAttributes>> fileAttributes_;  // outer: read yet
    uint64_t fileSize_ = 0;
};
