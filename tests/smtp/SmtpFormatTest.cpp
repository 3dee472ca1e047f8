// The Date value in several zones and locales, the Base64 lines, and the folding rules.
#include <gtest/gtest.h>
#include <langinfo.h>

#include <clocale>
#include <cstdlib>

#include "tests/smtp/SmtpTestSupport.h"

namespace {

// Sets TZ for one test and puts the old value back.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char* Zone) {
    if (const char* old = std::getenv("TZ")) old_ = old, had_ = true;
    ::setenv("TZ", Zone, 1);
    ::tzset();
  }
  ~ZoneGuard() {
    if (had_)
      ::setenv("TZ", old_.c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::string old_;
  bool had_ = false;
};

std::time_t Utc(int Year, int Month, int Day, int Hour, int Min, int Sec) {
  std::tm t{};
  t.tm_year = Year - 1900;
  t.tm_mon = Month - 1;
  t.tm_mday = Day;
  t.tm_hour = Hour;
  t.tm_min = Min;
  t.tm_sec = Sec;
  return ::timegm(&t);
}

}  // namespace

TEST(SmtpDate, ZonesGiveTheirOffsetsWithDaylightTimeWhileInForce) {
  const std::time_t winter = Utc(2026, 12, 6, 13, 5, 9);  // a Sunday
  const std::time_t summer = Utc(2026, 7, 1, 8, 0, 0);
  {
    ZoneGuard z("Europe/Berlin");
    EXPECT_EQ(Rfc822DateTime(winter), "Sun, 6 Dec 2026 14:05:09 +0100");
    EXPECT_EQ(Rfc822DateTime(summer), "Wed, 1 Jul 2026 10:00:00 +0200");
    EXPECT_EQ(TimeZoneBias(summer), "+0200");
  }
  {
    // UTC is a zone like any other: "-0000" would say the zone is unknown (RFC 5322 3.3).
    ZoneGuard z("UTC");
    EXPECT_EQ(Rfc822DateTime(winter), "Sun, 6 Dec 2026 13:05:09 +0000");
  }
  {
    ZoneGuard z("Asia/Kolkata");
    EXPECT_EQ(Rfc822DateTime(winter), "Sun, 6 Dec 2026 18:35:09 +0530");
  }
  {
    ZoneGuard z("America/New_York");
    EXPECT_EQ(Rfc822DateTime(winter), "Sun, 6 Dec 2026 08:05:09 -0500");
    EXPECT_EQ(Rfc822DateTime(summer), "Wed, 1 Jul 2026 04:00:00 -0400");
  }
  {
    // A zone the system does not know: no offset can be claimed.
    ZoneGuard z("Nowhere/Atlantis");
    EXPECT_EQ(TimeZoneBias(winter), "-0000");
  }
}

TEST(SmtpDate, ZeroOffsetIsPlusUnlessTheZoneIsUnknown) {
  const std::time_t winter = Utc(2026, 12, 6, 13, 5, 9);
  for (const char* zone : {"Europe/London", "Etc/UTC", "UTC0", ":UTC", ""}) {
    ZoneGuard z(zone);
    EXPECT_EQ(TimeZoneBias(winter), "+0000") << zone;
  }
  ZoneGuard z(":Nowhere/Else");
  EXPECT_EQ(Rfc822DateTime(winter), "Sun, 6 Dec 2026 13:05:09 -0000");
}

TEST(SmtpDate, EnglishNamesWhateverTheLocaleAndTheLocaleIsLeftAlone) {
  ZoneGuard z("Europe/Berlin");
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr)
      << "de_DE.UTF-8 missing: scripts/install-deps.sh generates it";
  const std::string germanMonday = ::nl_langinfo(ABDAY_2);
  for (int day = 0; day < 7; ++day) {
    const std::string d = Rfc822DateTime(Utc(2026, 12, 6 + day, 12, 0, 0));
    static const char* names[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    EXPECT_EQ(d.substr(0, 3), names[day]) << d;
  }
  for (int month = 1; month <= 12; ++month) {
    static const char* names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::string d = Rfc822DateTime(Utc(2026, month, 15, 12, 0, 0));
    EXPECT_NE(d.find(std::string(" ") + names[month - 1] + " "), std::string::npos) << d;
  }
  EXPECT_EQ(std::string(::nl_langinfo(ABDAY_2)), germanMonday);
  EXPECT_EQ(germanMonday, "Mo");
  std::setlocale(LC_ALL, saved.c_str());
}

TEST(SmtpFormat, Base64LinesFollowRfc2045) {
  auto enc = [](const std::string& s) {
    return Base64EncodeLine(reinterpret_cast<const unsigned char*>(s.data()), s.size());
  };
  EXPECT_EQ(enc(""), "");
  EXPECT_EQ(enc("M"), "TQ==");
  EXPECT_EQ(enc("Ma"), "TWE=");
  EXPECT_EQ(enc("Man"), "TWFu");
  EXPECT_EQ(enc(std::string("\xff\xfe\x00", 3)), "//4A");
  EXPECT_EQ(enc(std::string(45, 'x')).size(), 60u);
}

TEST(SmtpFormat, FoldingKeepsEveryCharacter) {
  // Short lines stay as they are.
  EXPECT_EQ(FoldHeaderLine("To: a", 998), (std::vector<std::string>{"To: a"}));
  // Folded before the last blank that fits; the continuation starts with that blank.
  EXPECT_EQ(FoldHeaderLine("To: aaa bbb ccc", 9),
            (std::vector<std::string>{"To: aaa", " bbb ccc"}));
  // No fold fits a width of one; the line is not cut up without end.
  EXPECT_EQ(FoldHeaderLine("To: a", 1), (std::vector<std::string>{"To: a"}));
  // Embedded line ends make continuations, never new header lines or an empty line.
  EXPECT_EQ(FoldHeaderLine("A: x\nB: y\r\n\r\n", 998),
            (std::vector<std::string>{"A: x", " B: y", " ", " "}));
}
