#pragma once

#include <ctime>

/// A moment of the local calendar, as the history's day buckets and the
/// command's dates read it.
inline std::time_t LocalTime(int year, int month, int day, int hour = 0, int minute = 0) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}
