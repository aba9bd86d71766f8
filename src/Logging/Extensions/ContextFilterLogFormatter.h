// Formatters that pass or drop messages by their context, leaving the text as it is: the
// whitelist passes only the contexts in its set, the blacklist drops them. A message they pass
// keeps the record's own text object, so a logger treats it as unformatted.
//
// The sets may be changed from any thread while loggers use the formatter, and one formatter
// may serve several loggers at once.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <vector>

#include "Logging/LxLogFormatter.h"

// A set of contexts, each operation whole under one lock.
class LoggingContextSet {
public:
    // Adding a context that is in the set already keeps it once.
    void addToSet(int32_t context);
    void removeFromSet(int32_t context);
    // The contexts in the set, in no defined order.
    std::vector<int32_t> currentSet() const;
    bool isInSet(int32_t context) const;

private:
    mutable std::mutex lock_;
    std::set<int32_t> set_;  // guarded by lock_
};

class ContextWhitelistFilterLogFormatter : public LxLogFormatter {
public:
    void addToWhitelist(int32_t context);
    void removeFromWhitelist(int32_t context);
    std::vector<int32_t> whitelist() const;
    bool isOnWhitelist(int32_t context) const;

    // The record's text when its context is on the list, else nullptr (dropped): an empty list
    // drops everything.
    LxLogText formatLogMessage(const LxLogMessage& message) override;

private:
    LoggingContextSet contextSet_;
};

class ContextBlacklistFilterLogFormatter : public LxLogFormatter {
public:
    void addToBlacklist(int32_t context);
    void removeFromBlacklist(int32_t context);
    std::vector<int32_t> blacklist() const;
    bool isOnBlacklist(int32_t context) const;

    // nullptr (dropped) when the record's context is on the list, else the record's text: an
    // empty list passes everything.
    LxLogText formatLogMessage(const LxLogMessage& message) override;

private:
    LoggingContextSet contextSet_;
};
