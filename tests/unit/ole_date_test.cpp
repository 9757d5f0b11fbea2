// The date module the library and the tools share, with a local time that is
// UTC, so that the arithmetic is pinned without the machine's zone.
#include "requests/ole_date.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace tarvik {
namespace {

bool UtcToSeconds(const std::tm& t, int64_t* seconds) {
    *seconds = DaysFromCivil(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday) * 86400 + t.tm_hour * 3600 +
               t.tm_min * 60 + t.tm_sec;
    return true;
}

bool SecondsToUtc(int64_t seconds, std::tm* t) {
    const int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    const int64_t rest = seconds - days * 86400;
    int y = 0, m = 0, d = 0;
    CivilFromDays(days, &y, &m, &d);
    *t = std::tm{};
    t->tm_year = y - 1900;
    t->tm_mon = m - 1;
    t->tm_mday = d;
    t->tm_hour = static_cast<int>(rest / 3600);
    t->tm_min = static_cast<int>(rest / 60 % 60);
    t->tm_sec = static_cast<int>(rest % 60);
    return true;
}

const LocalTimeFunctions kUtc = {&UtcToSeconds, &SecondsToUtc};

TEST(OleDate, CalendarTimesToTheMillisecond) {
    CivilTime t;
    // 2024-03-10 08:00:30.250 is day 45361 and 30.25 seconds past 08:00.
    const double date = 45361.0 + (8 * 3600 + 30.25) / 86400.0;
    ASSERT_TRUE(CivilFromOleDate(date, true, &t));
    EXPECT_EQ((std::vector<int>{t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond}),
              (std::vector<int>{2024, 3, 10, 8, 0, 30, 250}));
    EXPECT_DOUBLE_EQ(OleDateFromCivil(t), date);
    // Whole seconds round as the wire does.
    ASSERT_TRUE(CivilFromOleDate(date, false, &t));
    EXPECT_EQ(t.second, 30);
    EXPECT_EQ(t.millisecond, 0);
    // 23:59:59.9996 rounds into the next day.
    ASSERT_TRUE(CivilFromOleDate(45361.0 + 86399.9996 / 86400.0, true, &t));
    EXPECT_EQ((std::vector<int>{t.day, t.hour, t.millisecond}), (std::vector<int>{11, 0, 0}));
    // Before day 0 the fraction still counts from midnight: -1.25 is 06:00.
    ASSERT_TRUE(CivilFromOleDate(-1.25, false, &t));
    EXPECT_EQ((std::vector<int>{t.year, t.month, t.day, t.hour}),
              (std::vector<int>{1899, 12, 29, 6}));
    EXPECT_DOUBLE_EQ(OleDateFromCivil(t), -1.25);
    EXPECT_FALSE(CivilFromOleDate(kOleDateMax + 0.5, false, &t));
    EXPECT_FALSE(CivilFromOleDate(std::nan(""), false, &t));
}

TEST(OleDate, UnixTimesThroughTheGivenLocalTime) {
    int64_t ms = 0;
    const double date = 45361.0 + (8 * 3600 + 30.25) / 86400.0;
    ASSERT_TRUE(OleDateToUnixMs(date, true, kUtc, &ms));
    EXPECT_EQ(ms, int64_t{1710057630250});
    ASSERT_TRUE(OleDateToUnixMs(date, false, kUtc, &ms));
    EXPECT_EQ(ms, int64_t{1710057630000});
    double back = 0;
    ASSERT_TRUE(UnixMsToOleDate(1710057630250, kUtc, &back));
    EXPECT_NEAR(back, date, 1e-9);
    // Before 1970 the milliseconds still count forward.
    ASSERT_TRUE(UnixMsToOleDate(-500, kUtc, &back));
    CivilTime t;
    ASSERT_TRUE(CivilFromOleDate(back, true, &t));
    EXPECT_EQ((std::vector<int>{t.year, t.second, t.millisecond}),
              (std::vector<int>{1969, 59, 500}));
}

}  // namespace
}  // namespace tarvik
