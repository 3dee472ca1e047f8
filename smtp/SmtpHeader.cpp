// The message header of TCustomSmtpClient: the standard lines, the owner's hook, the Date
// value with English names and the numeric zone offset, and the folding of long lines.
#include <cstdio>
#include <cstdlib>

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

}  // namespace

std::string TimeZoneBias(std::time_t When) {
  std::tm local{};
  if (!LocalTime(When, local)) return "-0000";
  // tm_gmtoff already holds the daylight offset while daylight time is in force.
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
  return text + BiasText(local.tm_gmtoff);
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

std::vector<std::string> BreakTextLine(std::string_view Line, std::size_t MaxLine) {
  std::vector<std::string> pieces;
  while (MaxLine > 0 && Line.size() > MaxLine) {
    std::size_t cut = MaxLine;
    while (cut > 0 && Line[cut - 1] != ' ' && Line[cut - 1] != '\t') --cut;
    if (cut == 0) cut = MaxLine;
    pieces.emplace_back(Line.substr(0, cut));
    Line.remove_prefix(cut);
  }
  pieces.emplace_back(Line);
  return pieces;
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
  TStringList& hdr = Hdr;
  if (!IsBlankText(FHdrReplyTo)) hdr.Add("Reply-To: " + FHdrReplyTo);
  if (!IsBlankText(FHdrReturnPath)) hdr.Add("Return-Path: " + FHdrReturnPath);
  hdr.Add("From: " + FHdrFrom);
  hdr.Add("To: " + FHdrTo);
  hdr.Add("Subject: " + FHdrSubject);
  if (!IsBlankText(FHdrSender))
    hdr.Add("Sender: " + FHdrSender);
  else if (!IsBlankText(FHdrFrom))
    hdr.Add("Sender: " + FHdrFrom);
  hdr.Add("Mime-Version: 1.0");
  hdr.Add("Content-Type: " + FContentTypeText + "; charset=\"" + FCharSet + "\"");
  if (FTextTransferEncoding != "7bit")
    hdr.Add("Content-Transfer-Encoding: " + FTextTransferEncoding);
  hdr.Add("Date: " + Rfc822DateTime(std::time(nullptr)));
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
