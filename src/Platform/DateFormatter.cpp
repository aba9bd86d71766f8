#include "Platform/DateFormatter.h"

#include <ctime>

namespace platform {

namespace {

void appendNumber(std::string& out, long long value, size_t width) {
    std::string digits = std::to_string(value < 0 ? -value : value);
    if (value < 0) out += '-';
    if (digits.size() < width) out.append(width - digits.size(), '0');
    out += digits;
}

}  // namespace

DateFormatter::DateFormatter(std::string dateFormat) : dateFormat_(std::move(dateFormat)) {}

std::string DateFormatter::stringFromDate(std::chrono::system_clock::time_point date) const {
    using namespace std::chrono;
    // Seconds and fraction are both floored, so they agree also before the epoch.
    const auto sinceEpoch = duration_cast<nanoseconds>(date.time_since_epoch());
    const auto wholeSeconds = floor<seconds>(sinceEpoch);
    const long long fractionNanos = (sinceEpoch - wholeSeconds).count();
    const std::time_t seconds = static_cast<std::time_t>(wholeSeconds.count());
    std::tm local{};
    localtime_r(&seconds, &local);

    std::string out;
    const std::string& f = dateFormat_;
    size_t i = 0;
    while (i < f.size()) {
        const char c = f[i];
        if (c == '\'') {
            if (i + 1 < f.size() && f[i + 1] == '\'') {
                out += '\'';
                i += 2;
                continue;
            }
            // Quoted text up to the closing quote ("''" inside stands for one quote).
            ++i;
            while (i < f.size()) {
                if (f[i] == '\'') {
                    if (i + 1 < f.size() && f[i + 1] == '\'') {
                        out += '\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                out += f[i++];
            }
            continue;
        }
        size_t run = 1;
        while (i + run < f.size() && f[i + run] == c) ++run;
        switch (c) {
            case 'y': {
                const long long year = static_cast<long long>(local.tm_year) + 1900;
                if (run == 2) {
                    appendNumber(out, ((year % 100) + 100) % 100, 2);
                } else {
                    appendNumber(out, year, run);
                }
                break;
            }
            case 'M': appendNumber(out, local.tm_mon + 1, run); break;
            case 'd': appendNumber(out, local.tm_mday, run); break;
            case 'H': appendNumber(out, local.tm_hour, run); break;
            case 'm': appendNumber(out, local.tm_min, run); break;
            case 's': appendNumber(out, local.tm_sec, run); break;
            case 'S': {
                // The leading digits of the nine-digit fraction; beyond nine, zeros.
                std::string nanos;
                appendNumber(nanos, fractionNanos, 9);
                out += nanos.substr(0, run < 9 ? run : 9);
                if (run > 9) out.append(run - 9, '0');
                break;
            }
            default: out.append(run, c); break;
        }
        i += run;
    }
    return out;
}

}  // namespace platform
