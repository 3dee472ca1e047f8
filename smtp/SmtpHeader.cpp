// The message header of TCustomSmtpClient: the standard lines, the owner's hook, the Date
// value with English names and the numeric zone offset, the Message-ID, and the folding of long
// lines.
#include <sys/random.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <algorithm>

#include "smtp/SmtpProt.h"

namespace {

constexpr const char* DayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* MonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsBlankText(const std::string& S) {
  for (char c : S)
    if (static_cast<unsigned char>(c) > ' ') return false;
  return true;
}

bool IsWsp(char c) {
  return c == ' ' || c == '\t';
}

// The local time of When with the zone data of the current TZ (tzset re-reads a changed TZ,
// which localtime_r alone does not do).
bool LocalTime(std::time_t When, std::tm& Out) {
  tzset();
  return localtime_r(&When, &Out) != nullptr;
}

std::string BiasText(long OffsetSeconds) {
  // The bias counts minutes from local time to UTC: zones east of UTC are negative.
  const long bias = -OffsetSeconds / 60;
  const long magnitude = std::labs(bias);
  char text[48];
  std::snprintf(text, sizeof text, "-%.2ld%.2ld", magnitude / 60, magnitude % 60);
  if (bias < 0) text[0] = '+';
  return text;
}

bool IsFile(const std::string& Path) {
  struct stat st {};
  return ::stat(Path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Whether the zone in force is one the system knows, rather than the UTC that the C library falls
// back to for a zone it cannot find: RFC 5322 3.3 keeps "-0000" for a time whose zone is unknown.
bool ZoneIsKnown() {
  const char* tz = std::getenv("TZ");
  if (!tz) return IsFile("/etc/localtime");
  std::string zone = tz[0] == ':' ? tz + 1 : tz;
  if (zone.empty()) return true;  // the C library's UTC by definition
  if (zone[0] == '/') return IsFile(zone);
  const char* dir = std::getenv("TZDIR");
  if (IsFile(std::string(dir && *dir ? dir : "/usr/share/zoneinfo") + "/" + zone)) return true;
  // A POSIX zone rule names its offset ("UTC0", "CET-1CEST"): a letter run, then the offset.
  std::size_t i = 0;
  while (i < zone.size() && ((zone[i] | 0x20) >= 'a' && (zone[i] | 0x20) <= 'z')) ++i;
  return i >= 3 && i < zone.size() &&
         (zone[i] == '+' || zone[i] == '-' || (zone[i] >= '0' && zone[i] <= '9'));
}

// The right-hand side of a Message-ID: the sender's domain, else the host's own.
std::string MessageIdDomain(const std::string& Sender) {
  const std::size_t at = Sender.rfind('@');
  std::string domain = at == std::string::npos ? "" : Sender.substr(at + 1);
  while (!domain.empty() &&
         (domain.back() == '>' || static_cast<unsigned char>(domain.back()) <= ' '))
    domain.pop_back();
  const bool plain = !domain.empty() && std::all_of(domain.begin(), domain.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.';
  });
  if (plain) return domain;
  const std::string fqdn = LocalFqdn();
  return fqdn.empty() ? "localhost" : fqdn;
}

}  // namespace

std::string TimeZoneBias(std::time_t When) {
  std::tm local{};
  if (!LocalTime(When, local)) return "-0000";
  // tm_gmtoff already holds the daylight offset while daylight time is in force.
  if (local.tm_gmtoff == 0) return ZoneIsKnown() ? "+0000" : "-0000";
  return BiasText(local.tm_gmtoff);
}

std::string TimeZoneBias() {
  return TimeZoneBias(std::time(nullptr));
}

std::string Rfc822DateTime(std::time_t When) {
  std::tm local{};
  if (!LocalTime(When, local)) {
    // No local time can be had: say it in UTC, which "-0000" does not claim to be local.
    gmtime_r(&When, &local);
    local.tm_gmtoff = 0;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%s, %d %s %04d %02d:%02d:%02d ", DayNames[local.tm_wday % 7],
                local.tm_mday, MonthNames[local.tm_mon % 12], local.tm_year + 1900, local.tm_hour,
                local.tm_min, local.tm_sec);
  return text + TimeZoneBias(When);
}

std::uint64_t RandomNumber() {
  std::uint64_t value = 0;
  std::size_t got = 0;
  while (got < sizeof value) {
    const ssize_t n = ::getrandom(reinterpret_cast<char*>(&value) + got, sizeof value - got, 0);
    if (n > 0)
      got += static_cast<std::size_t>(n);
    else if (errno != EINTR)
      throw SmtpException("No random numbers from the system");
  }
  return value;
}

std::string NewMessageId(const std::string& Domain, std::time_t When) {
  std::tm utc{};
  gmtime_r(&When, &utc);
  char text[96];
  // 96 random bits: unique across processes and hosts even within one second.
  std::snprintf(text, sizeof text, "<%04d%02d%02d%02d%02d%02d.%016llx%08llx@", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<unsigned long long>(RandomNumber()),
                static_cast<unsigned long long>(RandomNumber() & 0xFFFFFFFFu));
  return text + Domain + ">";
}

std::vector<std::string> FoldHeaderLine(std::string_view Line, std::size_t MaxLine) {
  std::vector<std::string> pieces;
  // First the embedded line ends: each ends a physical line, and a line after one must be a
  // continuation (start with a blank), or the value could end the header early.
  std::size_t start = 0;
  for (std::size_t i = 0; i <= Line.size(); ++i) {
    if (i < Line.size() && Line[i] != '\r' && Line[i] != '\n') continue;
    std::string piece(Line.substr(start, i - start));
    if (!pieces.empty() && (piece.empty() || !IsWsp(piece[0]))) piece.insert(0, 1, ' ');
    pieces.push_back(std::move(piece));
    if (i < Line.size() && Line[i] == '\r' && i + 1 < Line.size() && Line[i + 1] == '\n') ++i;
    start = i + 1;
  }
  // A continuation needs its blank and one character: below two there is no fold that makes
  // progress.
  if (MaxLine < 2) return pieces;
  // Then fold every physical line that is too long, before its last blank that fits.
  std::vector<std::string> folded;
  for (std::string& piece : pieces) {
    while (piece.size() > MaxLine) {
      std::size_t cut = MaxLine;
      while (cut > 0 && !IsWsp(piece[cut])) --cut;
      // A blank at position 0 leaves nothing before it; look for no fold point there.
      std::string rest;
      if (cut == 0) {
        cut = MaxLine;
        rest = " " + piece.substr(cut);
      } else {
        rest = piece.substr(cut);
      }
      folded.push_back(piece.substr(0, cut));
      piece = std::move(rest);
    }
    folded.push_back(std::move(piece));
  }
  return folded;
}

void TCustomSmtpClient::BuildHeader() {
  FLineNum = 0;
  FMoreLines = true;
  FItemCount = -1;
  if (FHdrLines)
    FHdrLines->Clear();
  else
    FHdrLines = std::make_unique<TStringList>();
  BuildHeaderLines(*FHdrLines);
}

void TCustomSmtpClient::BuildHeaderLines(TStringList& Hdr) {
  if (FRawMessage) return;  // the owner's lines carry the header and its blank line
  TStringList& hdr = Hdr;
  // Names and text beyond ASCII go out as encoded-words, display names with specials quoted;
  // plain ASCII stays as it was given.
  auto addresses = [&](const std::string& Name, const std::string& Value) {
    hdr.Add(Name + EncodeAddressList(Value, FCharSet, Name.size()));
  };
  if (!IsBlankText(FHdrReplyTo)) addresses("Reply-To: ", FHdrReplyTo);
  if (!IsBlankText(FHdrReturnPath)) hdr.Add("Return-Path: " + FHdrReturnPath);
  addresses("From: ", FHdrFrom);
  addresses("To: ", FHdrTo);
  if (!IsBlankText(FHdrCc)) addresses("Cc: ", FHdrCc);
  hdr.Add("Subject: " + EncodeUnstructured(FHdrSubject, FCharSet, 9));
  if (!IsBlankText(FHdrSender))
    addresses("Sender: ", FHdrSender);
  else if (!IsBlankText(FHdrFrom))
    addresses("Sender: ", FHdrFrom);
  hdr.Add("Mime-Version: 1.0");
  hdr.Add("Content-Type: " + FContentTypeText + "; charset=\"" + FCharSet + "\"");
  const std::string encoding = HeaderTransferEncoding();
  if (encoding != "7bit") hdr.Add("Content-Transfer-Encoding: " + encoding);
  const std::time_t now = std::time(nullptr);
  hdr.Add("Date: " + Rfc822DateTime(now));
  hdr.Add("Message-ID: " + NewMessageId(MessageIdDomain(FFromName), now));
  TriggerProcessHeader(hdr);

  // Every entry becomes the physical lines it is sent as, none longer than the wire allows and
  // each fitting the line buffer, so that nothing is cut.
  TStringList physical;
  for (const std::string& entry : hdr) {
    if (entry.size() <= MaxWireLine && entry.find_first_of("\r\n") == std::string::npos) {
      physical.Add(entry);
      continue;
    }
    for (std::string& piece : FoldHeaderLine(entry, MaxWireLine)) physical.Add(std::move(piece));
  }
  hdr.Assign(physical);
  hdr.Add("");
}
