// A date formatter: writes a point in time as text by a pattern of date-format letters, in
// the process's local time zone (TZ), as the platform's date formatter does with no time
// zone or locale set.
//
// Pattern letters (a run of one letter is one field; the run's length is the width):
//   y  year; "yy" its last two digits, any other run at least that many digits
//   M  month 1-12     d  day of the month     H  hour 0-23     m  minute     s  second
//   S  fraction of the second, as many digits as letters, truncated (x.9999 s with "SSS"
//      prints 999, never 1000)
// Text in single quotes is literal ("''" is one quote); every other character, and every
// other letter, is copied as it stands.
//
// Immutable once made: one formatter may be used from any number of threads at once.
#pragma once

#include <chrono>
#include <string>

namespace platform {

class DateFormatter {
public:
    explicit DateFormatter(std::string dateFormat);

    const std::string& dateFormat() const { return dateFormat_; }

    std::string stringFromDate(std::chrono::system_clock::time_point date) const;

private:
    const std::string dateFormat_;
};

}  // namespace platform
