// Date serials: civil dates to serials and back in both date systems (the 1900 system's 29 February
// 1900 and day 0, DATE's months and days out of range, the last day), the split of a serial into date
// and time with its rounding, and the platform clock behind the serial of the current moment.
#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <limits>

#include "platform/clock.h"
#include "values/date_serial.h"

using namespace cwbk;

namespace {

constexpr DateSystem k1900 = DateSystem::Base1900;
constexpr DateSystem k1904 = DateSystem::Base1904;

TEST(DateSerial, SerialFromCivil) {
  struct Case {
    int64_t year, month, day;
    DateSystem system;
    std::optional<int32_t> serial;
  };
  const Case cases[] = {
      {1900, 1, 1, k1900, 1},
      {1900, 2, 28, k1900, 59},
      {1900, 2, 29, k1900, 60}, // the day the 1900 system keeps
      {1900, 3, 1, k1900, 61},
      {1900, 3, 0, k1900, 60},  // the day before 1 March is the kept day
      {1900, 2, 30, k1900, 61}, // and the day after it is 1 March
      {1900, 1, 0, k1900, 0},   // 1900-01-00
      {1900, 1, -1, k1900, std::nullopt},
      {1899, 12, 31, k1900, 0},
      {2000, 3, 1, k1900, 36586},
      {2026, 12, 9, k1900, 46365},
      {2100, 3, 1, k1900, 73110}, // 2100 is no leap year
      {2100, 2, 29, k1900, 73110},
      {9999, 12, 31, k1900, kLastSerial1900},
      {9999, 12, 32, k1900, std::nullopt},
      {10000, 1, 1, k1900, std::nullopt},
      // months and days out of range move the date as DATE does
      {2000, 0, 1, k1900, 36495},   // 1999-12-01
      {2000, -1, 1, k1900, 36465},  // 1999-11-01
      {2000, -12, 1, k1900, 36130}, // 1998-12-01
      {2000, 13, 1, k1900, 36892},  // 2001-01-01
      {2000, 24, 1, k1900, 37226},  // 2001-12-01
      {2000, 1, 0, k1900, 36525},   // 1999-12-31
      {2000, 2, 30, k1900, 36586},  // 2000-03-01
      {2000, 1, 367, k1900, 36892}, // 2001-01-01
      {2000, 1, -36524, k1900, 1},
      {2000, 0, -36493, k1900, 1},
      // the 1904 system has no extra day
      {1904, 1, 1, k1904, 0},
      {1904, 1, 2, k1904, 1},
      {1903, 12, 31, k1904, std::nullopt},
      {1900, 3, 1, k1904, std::nullopt},
      {2000, 1, 1, k1904, 35064},
      {9999, 12, 31, k1904, kLastSerial1904},
      {9999, 12, 32, k1904, std::nullopt},
      // sizes far outside the range neither overflow nor wrap into it
      {std::numeric_limits<int64_t>::max(), 1, 1, k1900, std::nullopt},
      {2000, std::numeric_limits<int64_t>::min(), 1, k1900, std::nullopt},
      {2000, 1, std::numeric_limits<int64_t>::max(), k1904, std::nullopt},
      {-4000, 1, 1, k1900, std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(serialFromCivil(c.year, c.month, c.day, c.system), c.serial)
        << c.year << "-" << c.month << "-" << c.day << (c.system == k1904 ? " (1904)" : "");
}

TEST(DateSerial, CivilFromSerial) {
  struct Case {
    int64_t serial;
    DateSystem system;
    std::optional<CivilDate> date;
  };
  const Case cases[] = {
      {0, k1900, CivilDate{1900, 1, 0}},
      {1, k1900, CivilDate{1900, 1, 1}},
      {59, k1900, CivilDate{1900, 2, 28}},
      {60, k1900, CivilDate{1900, 2, 29}},
      {61, k1900, CivilDate{1900, 3, 1}},
      {36526, k1900, CivilDate{2000, 1, 1}},
      {73110, k1900, CivilDate{2100, 3, 1}},
      {kLastSerial1900, k1900, CivilDate{9999, 12, 31}},
      {kLastSerial1900 + 1, k1900, std::nullopt},
      {-1, k1900, std::nullopt},
      {0, k1904, CivilDate{1904, 1, 1}},
      {35064, k1904, CivilDate{2000, 1, 1}},
      {kLastSerial1904, k1904, CivilDate{9999, 12, 31}},
      {kLastSerial1904 + 1, k1904, std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(civilFromSerial(c.serial, c.system), c.date) << c.serial;
}

// Every serial of both systems reads as a date that gives the serial back, and the dates follow one
// another day by day.
TEST(DateSerial, EverySerialRoundTrips) {
  for (DateSystem system : {k1900, k1904}) {
    CivilDate previous{};
    for (int32_t serial = 0; serial <= lastSerial(system); ++serial) {
      std::optional<CivilDate> date = civilFromSerial(serial, system);
      ASSERT_TRUE(date) << serial;
      ASSERT_EQ(serialFromCivil(date->year, date->month, date->day, system), serial)
          << date->year << "-" << date->month << "-" << date->day;
      if (serial > 0) {
        bool nextDay =
            date->year == previous.year && date->month == previous.month && date->day == previous.day + 1;
        bool nextMonth =
            date->day == 1 && (date->month == previous.month + 1 ||
                               (date->month == 1 && previous.month == 12 && date->year == previous.year + 1));
        ASSERT_TRUE(nextDay || nextMonth) << serial;
        ASSERT_TRUE(nextDay || previous.day >= 28) << serial;
      }
      previous = *date;
    }
  }
}

TEST(DateSerial, SplitRoundsTheTimeOfDay) {
  using R = TimeRounding;
  struct Case {
    double serial;
    DateSystem system;
    R rounding;
    std::optional<DateTimeParts> parts;
  };
  auto at = [](int y, int m, int d, int h, int mi, int s, int ms = 0) {
    return std::optional<DateTimeParts>(DateTimeParts{CivilDate{y, m, d}, h, mi, s, ms});
  };
  const Case cases[] = {
      {0.5, k1900, R::Second, at(1900, 1, 0, 12, 0, 0)},
      {36354.0 / 86400, k1900, R::Second, at(1900, 1, 0, 10, 5, 54)}, // 10:05:54 is not 10:05:53.999
      {0.99999, k1900, R::Second, at(1900, 1, 0, 23, 59, 59)},
      // within half a second of midnight is the next day's midnight
      {0.99999999, k1900, R::Second, at(1900, 1, 1, 0, 0, 0)},
      {0.99999999, k1900, R::Millisecond, at(1900, 1, 0, 23, 59, 59, 999)},
      {0.999999999, k1900, R::Millisecond, at(1900, 1, 1, 0, 0, 0, 0)},
      {59.9999999, k1900, R::Second, at(1900, 2, 29, 0, 0, 0)},
      // 10:39:58.937 and 10:39:59.317 both show second 59
      {41165.4444321412, k1900, R::Second, at(2012, 9, 13, 10, 39, 59)},
      {41165.4444365394, k1900, R::Second, at(2012, 9, 13, 10, 39, 59)},
      {41165.4444321412, k1900, R::Millisecond, at(2012, 9, 13, 10, 39, 58, 937)},
      {0.25, k1904, R::Second, at(1904, 1, 1, 6, 0, 0)},
      {kLastSerial1900 + 0.99999, k1900, R::Second, at(9999, 12, 31, 23, 59, 59)},
      {kLastSerial1900 + 0.9999999, k1900, R::Second, std::nullopt}, // rounds past the last day
      {kLastSerial1904 + 1.0, k1904, R::Second, std::nullopt},
      {-0.0001, k1900, R::Second, std::nullopt},
      {std::nan(""), k1900, R::Second, std::nullopt},
      {std::numeric_limits<double>::infinity(), k1900, R::Second, std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(splitSerial(c.serial, c.system, c.rounding), c.parts) << c.serial;
}

TEST(DateSerial, DayFractionAndMonthLengths) {
  EXPECT_DOUBLE_EQ(dayFraction(12, 0, 0), 0.5);
  EXPECT_DOUBLE_EQ(dayFraction(6, 30, 15, 500), (6 * 3600 + 30 * 60 + 15.5) / 86400);
  EXPECT_DOUBLE_EQ(dayFraction(24, 0, 0), 1);
  struct Case {
    int64_t year, month;
    int32_t days;
  };
  const Case cases[] = {{2000, 2, 29}, {1900, 2, 28},  {2100, 2, 28}, {2024, 2, 29}, {2023, 2, 28},
                        {2023, 4, 30}, {2023, 12, 31}, {2023, 0, 0},  {2023, 13, 0}};
  for (const Case& c : cases)
    EXPECT_EQ(daysInMonth(c.year, c.month), c.days) << c.year << "-" << c.month;
}

// The serial of the current moment agrees with the C runtime's local time and carries the
// milliseconds the platform clock gives.
TEST(DateSerial, CurrentMomentFollowsThePlatformClock) {
  LocalDateTime now = localDateTimeNow();
  EXPECT_GE(now.year, 2020);
  EXPECT_TRUE(now.month >= 1 && now.month <= 12 && now.day >= 1 && now.day <= 31);
  EXPECT_TRUE(now.hour < 24 && now.minute < 60 && now.second < 60 && now.millisecond < 1000);

  std::time_t t = std::time(nullptr);
  std::tm local = *std::localtime(&t);
  double expected = *serialFromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, k1900) +
                    dayFraction(local.tm_hour, local.tm_min, local.tm_sec);
  double serial = currentDateTimeSerial(false);
  EXPECT_NEAR(serial, expected, 5.0 / 86400);
  EXPECT_NEAR(currentDateTimeSerial(true), serial - 1462, 5.0 / 86400);
}

} // namespace
