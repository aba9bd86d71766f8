#include "Logging/LxLogFileInfo.h"

#include <cerrno>

#include "Platform/DateFormatter.h"
#include "Platform/Files/ExtendedAttributes.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Format.h"
#include "Platform/PlainLog.h"

namespace {

constexpr const char* kArchivedAttributeName = "log.archived";

std::weak_ordering newestFirst(const std::optional<LxLogFileInfo::Date>& mine,
                               const std::optional<LxLogFileInfo::Date>& theirs) {
    const auto a = mine.value_or(LxLogFileInfo::Date::min());
    const auto b = theirs.value_or(LxLogFileInfo::Date::min());
    return b <=> a;
}

std::string describeDate(const std::optional<LxLogFileInfo::Date>& date) {
    if (!date) return "(null)";
    return platform::DateFormatter("yyyy-MM-dd HH:mm:ss").stringFromDate(*date);
}

}  // namespace

std::shared_ptr<LxLogFileInfo> LxLogFileInfo::logFileWithPath(std::string filePath) {
    return std::make_shared<LxLogFileInfo>(std::move(filePath));
}

LxLogFileInfo::LxLogFileInfo(std::string filePath) : filePath_(std::move(filePath)) {}

const std::string& LxLogFileInfo::fileName() {
    if (!fileName_) {
        const size_t slash = filePath_.rfind('/');
        fileName_ = slash == std::string::npos ? filePath_ : filePath_.substr(slash + 1);
    }
    return *fileName_;
}

const std::optional<platform::FileAttributes>& LxLogFileInfo::fileAttributes() {
    if (!fileAttributes_) fileAttributes_ = platform::fileAttributesAtPath(filePath_);
    return *fileAttributes_;
}

std::optional<LxLogFileInfo::Date> LxLogFileInfo::creationDate() {
    const auto& attributes = fileAttributes();
    if (!attributes) return std::nullopt;
    return attributes->creationDate;
}

std::optional<LxLogFileInfo::Date> LxLogFileInfo::modificationDate() {
    const auto& attributes = fileAttributes();
    if (!attributes) return std::nullopt;
    return attributes->modificationDate;
}

uint64_t LxLogFileInfo::fileSize() {
    if (fileSize_ == 0) {
        const auto& attributes = fileAttributes();
        if (attributes) fileSize_ = attributes->size;
    }
    return fileSize_;
}

double LxLogFileInfo::age() {
    const auto created = creationDate();
    if (!created) return 0;
    return std::chrono::duration<double>(std::chrono::system_clock::now() - *created).count();
}

bool LxLogFileInfo::isArchived() const { return hasExtendedAttributeWithName(kArchivedAttributeName); }

void LxLogFileInfo::setIsArchived(bool archived) {
    if (archived) {
        addExtendedAttributeWithName(kArchivedAttributeName);
    } else {
        removeExtendedAttributeWithName(kArchivedAttributeName);
    }
}

void LxLogFileInfo::reset() {
    fileName_.reset();
    fileAttributes_.reset();
}

void LxLogFileInfo::renameFile(const std::string& newFileName) {
    if (newFileName == fileName()) return;
    const size_t slash = filePath_.rfind('/');
    std::string newFilePath = slash == std::string::npos ? newFileName : filePath_.substr(0, slash + 1) + newFileName;
    if (auto error = platform::FileManager::moveItemAtPath(filePath_, newFilePath)) {
        platform::plainLog("LxLogFileInfo: Error renaming file (%@): %@", fileName(), error->describe());
    }
    filePath_ = std::move(newFilePath);
    reset();
}

bool LxLogFileInfo::hasExtendedAttributeWithName(const std::string& attrName) const {
    return platform::getExtendedAttributeSize(filePath_, attrName) >= 0;
}

void LxLogFileInfo::addExtendedAttributeWithName(const std::string& attrName) {
    const int result = platform::setExtendedAttribute(filePath_, attrName, "");
    if (result < 0) platform::plainLog("LxLogFileInfo: setxattr(%@, %@): error = %i", attrName, fileName(), result);
}

void LxLogFileInfo::removeExtendedAttributeWithName(const std::string& attrName) {
    const int result = platform::removeExtendedAttribute(filePath_, attrName);
    if (result < 0 && errno != platform::kNoAttributeError) {
        platform::plainLog("LxLogFileInfo: removexattr(%@, %@): error = %i", attrName, fileName(), result);
    }
}

std::weak_ordering LxLogFileInfo::reverseCompareByCreationDate(LxLogFileInfo& other) {
    return newestFirst(creationDate(), other.creationDate());
}

std::weak_ordering LxLogFileInfo::reverseCompareByModificationDate(LxLogFileInfo& other) {
    return newestFirst(modificationDate(), other.modificationDate());
}

std::string LxLogFileInfo::description() {
    std::string attributes = "(null)";
    if (const auto& a = fileAttributes()) {
        attributes = platform::format("{size = %llu; creationDate = %@; modificationDate = %@}",
                                      static_cast<unsigned long long>(a->size), describeDate(a->creationDate),
                                      describeDate(a->modificationDate));
    }
    return platform::format(
        "{filePath = %@; fileName = %@; fileAttributes = %@; creationDate = %@; modificationDate = %@; "
        "fileSize = %llu; age = %f; isArchived = %d}",
        filePath_, fileName(), attributes, describeDate(creationDate()), describeDate(modificationDate()),
        static_cast<unsigned long long>(fileSize()), age(), isArchived() ? 1 : 0);
}
