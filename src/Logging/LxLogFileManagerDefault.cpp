#include "Logging/LxLogFileManagerDefault.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

#include "Logging/LxLog.h"
#include "Platform/Crypto/SecureRandom.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Files/TemporaryDirectory.h"
#include "Platform/PlainLog.h"
#include "Platform/ThreadInfo.h"

namespace {

// Names are drawn until one is free; with 16^6 names a directory never runs out, but a
// random source that repeats itself must not hold the logger's queue for ever.
constexpr int kMaxNameDraws = 1000;

std::optional<std::string> userHome() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return std::string(home);
    std::array<char, 4096> buffer{};
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && *found->pw_dir != '\0')
        return std::string(found->pw_dir);
    return std::nullopt;
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

LxLogFileManagerDefault::LxLogFileManagerDefault(std::optional<std::string> logsDirectory)
    : logsDirectory_(logsDirectory ? std::move(*logsDirectory) : defaultLogsDirectory()) {}

std::string LxLogFileManagerDefault::defaultLogsDirectory() {
    const char* xdgStateHome = std::getenv("XDG_STATE_HOME");
    const auto home = userHome();
    // Asking for the temporary directory may make it: only when it can be the answer.
    const std::string temporaryDirectory = home ? std::string() : platform::TemporaryDirectory::path().value_or("/tmp");
    return defaultLogsDirectoryFor(xdgStateHome ? std::optional<std::string>(xdgStateHome) : std::nullopt, home,
                                   temporaryDirectory, platform::processName());
}

std::string LxLogFileManagerDefault::defaultLogsDirectoryFor(const std::optional<std::string>& xdgStateHome,
                                                              const std::optional<std::string>& home,
                                                              std::string_view temporaryDirectory,
                                                              std::string_view processName) {
    std::string base;
    if (xdgStateHome && !xdgStateHome->empty() && xdgStateHome->front() == '/') {
        base = *xdgStateHome;
    } else if (home && !home->empty()) {
        base = withoutTrailingSlashes(*home) + "/.local/state";
    } else {
        base = temporaryDirectory;
    }
    return platform::TemporaryDirectory::join(withoutTrailingSlashes(base), processName);
}

bool LxLogFileManagerDefault::isLogFile(std::string_view fileName) {
    if (fileName.size() < 10 || !fileName.starts_with("log-")) return false;
    return fileName.substr(4, 6).find_first_not_of("0123456789ABCDEF") == std::string_view::npos;
}

std::optional<std::string> LxLogFileManagerDefault::generateShortUUID() {
    // The first 6 characters of a random UUID's upper-case string form are its first three
    // bytes, which are random in every UUID of version 4.
    std::array<uint8_t, 3> bytes{};
    if (!platform::secureRandomBytes(bytes)) return std::nullopt;
    char text[7];
    std::snprintf(text, sizeof text, "%02X%02X%02X", bytes[0], bytes[1], bytes[2]);
    return std::string(text);
}

std::string LxLogFileManagerDefault::logsDirectory() {
    makeLogsDirectory();
    return logsDirectory_;
}

bool LxLogFileManagerDefault::makeLogsDirectory() {
    if (!platform::FileManager::fileExistsAtPath(logsDirectory_)) {
        if (auto error = platform::FileManager::createDirectoryAtPath(logsDirectory_)) {
            // Every message asks again while the directory is missing: one line per run of
            // failures, not one per message.
            if (!directoryFailureReported_.exchange(true)) {
                platform::plainLog("LxFileLogManagerDefault: Error creating logsDirectory: %@", error->describe());
            }
            return false;
        }
    }
    directoryFailureReported_.store(false);
    return true;
}

std::vector<std::string> LxLogFileManagerDefault::unsortedLogFilePaths() {
    const std::string directory = logsDirectory();
    std::vector<std::string> paths;
    for (const std::string& name : platform::FileManager::contentsOfDirectoryAtPath(directory).value_or(std::vector<std::string>{})) {
        if (isLogFile(name)) paths.push_back(platform::TemporaryDirectory::join(directory, name));
    }
    return paths;
}

std::vector<std::string> LxLogFileManagerDefault::unsortedLogFileNames() {
    std::vector<std::string> names;
    for (const auto& info : unsortedLogFileInfos()) names.push_back(info->fileName());
    return names;
}

std::vector<std::shared_ptr<LxLogFileInfo>> LxLogFileManagerDefault::unsortedLogFileInfos() {
    std::vector<std::shared_ptr<LxLogFileInfo>> infos;
    for (std::string& path : unsortedLogFilePaths()) infos.push_back(LxLogFileInfo::logFileWithPath(std::move(path)));
    return infos;
}

std::vector<std::string> LxLogFileManagerDefault::sortedLogFilePaths() {
    std::vector<std::string> paths;
    for (const auto& info : sortedLogFileInfos()) paths.push_back(info->filePath());
    return paths;
}

std::vector<std::string> LxLogFileManagerDefault::sortedLogFileNames() {
    std::vector<std::string> names;
    for (const auto& info : sortedLogFileInfos()) names.push_back(info->fileName());
    return names;
}

std::vector<std::shared_ptr<LxLogFileInfo>> LxLogFileManagerDefault::sortedLogFileInfos() {
    // Birth times are stamped with a coarse clock, so a file made by a roll can share its
    // creation date with the file just archived. Of two such files the one not archived is
    // the newer (an archived file is never written again); without that the file being
    // written could sort behind an archived one and be deleted as old.
    //
    // Each mark is read once, before sorting: the logger's queue archives files while a
    // deletion pass on the hub's queue sorts them, and a comparison whose answer changes
    // halfway through a sort makes it run off the ends of the list. (Creation dates are
    // cached by each info once read, so they stay put.)
    struct Entry {
        std::shared_ptr<LxLogFileInfo> info;
        bool archived;
    };
    std::vector<Entry> entries;
    for (auto& info : unsortedLogFileInfos()) {
        const bool archived = info->isArchived();
        entries.push_back({std::move(info), archived});
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        const auto order = a.info->reverseCompareByCreationDate(*b.info);
        if (order != 0) return order < 0;
        return !a.archived && b.archived;
    });
    std::vector<std::shared_ptr<LxLogFileInfo>> infos;
    infos.reserve(entries.size());
    for (Entry& entry : entries) infos.push_back(std::move(entry.info));
    return infos;
}

std::optional<std::string> LxLogFileManagerDefault::createNewLogFile() {
    // Without its directory no file can be made; the directory's failure has been reported
    // with its own error, where a file tried under it would only say that nothing is there.
    if (!makeLogsDirectory()) return std::nullopt;
    for (int draw = 0; draw < kMaxNameDraws; ++draw) {
        const auto uuid = generateShortUUID();
        if (!uuid) return std::nullopt;
        const std::string name = "log-" + *uuid + ".txt";
        std::string path = platform::TemporaryDirectory::join(logsDirectory_, name);
        if (platform::FileManager::fileExistsAtPath(path)) continue;
        if (auto error = platform::FileManager::createEmptyFileAtPath(path)) {
            // Another process may take the name between the test and the creation: draw again.
            if (error->code == EEXIST) continue;
            // Every message asks again: one line per run of failures.
            if (!fileFailureReported_.exchange(true)) {
                platform::plainLog("LxFileLogManagerDefault: Error creating log file (%@): %@", name, error->describe());
            }
            return std::nullopt;
        }
        fileFailureReported_.store(false);
        deleteOldLogFiles();
        return path;
    }
    return std::nullopt;
}

void LxLogFileManagerDefault::deleteOldLogFiles() {
    const uint64_t keep = maximumNumberOfLogFiles_.load();
    if (keep == 0) return;
    auto infos = sortedLogFileInfos();
    // The newest file, when it is not archived, is the one being written: never counted.
    if (!infos.empty() && !infos.front()->isArchived()) infos.erase(infos.begin());
    for (size_t i = static_cast<size_t>(std::min<uint64_t>(keep, infos.size())); i < infos.size(); ++i) {
        platform::FileManager::removeItemAtPath(infos[i]->filePath());
    }
}

uint64_t LxLogFileManagerDefault::maximumNumberOfLogFiles() const { return maximumNumberOfLogFiles_.load(); }

void LxLogFileManagerDefault::setMaximumNumberOfLogFiles(uint64_t count) {
    if (maximumNumberOfLogFiles_.exchange(count) == count) return;
    std::weak_ptr<LxLogFileManagerDefault> weakSelf = weak_from_this();
    LxLog::loggingQueue()->async([weakSelf] {
        if (auto self = weakSelf.lock()) self->deleteOldLogFiles();
    });
}
