// Header encoding (RFC 2047 words, quoted display names, RFC 2231 names) and quoted-printable
// text lines, each checked by decoding the result back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>

#include "smtp/SmtpEncoding.h"

namespace {

int HexValue(char c) {
  return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

std::string Base64Decode(const std::string& Text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0, count = 0;
  for (char c : Text) {
    if (c == '=') break;
    bits = bits << 6 | static_cast<unsigned>(alphabet.find(c));
    if ((count += 6) >= 8) out += static_cast<char>(bits >> (count -= 8) & 0xFF);
  }
  return out;
}

// One encoded-word's bytes; checks its form on the way.
std::string DecodeWord(const std::string& Word) {
  std::smatch m;
  EXPECT_TRUE(std::regex_match(Word, m, std::regex(R"(=\?([^?]+)\?([QB])\?([^?]*)\?=)"))) << Word;
  EXPECT_LE(Word.size(), MaxEncodedWord) << Word;
  if (m[2] == "B") return Base64Decode(m[3]);
  std::string out;
  const std::string q = m[3];
  for (std::size_t i = 0; i < q.size(); ++i) {
    if (q[i] == '_')
      out += ' ';
    else if (q[i] == '=')
      out += static_cast<char>(HexValue(q[i + 1]) * 16 + HexValue(q[i + 2])), i += 2;
    else
      out += q[i];
  }
  return out;
}

// The folded words of an encoded text: every physical line within the limit and one whole word,
// whose bytes are valid UTF-8 on their own (no character is split between two words).
std::string DecodeWords(const std::string& Encoded, std::size_t Used) {
  std::string text;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(Encoded.find("\r\n", start), Encoded.size());
    std::string line = Encoded.substr(start, end - start);
    EXPECT_LE(line.size() + (start == 0 ? Used : 0), MaxEncodedLine) << line;
    if (start > 0) {
      EXPECT_EQ(line[0], ' ');
      line.erase(0, 1);
    }
    const std::string bytes = DecodeWord(line);
    if (line.starts_with("=?utf-8?")) {
      EXPECT_TRUE(IsValidUtf8(bytes)) << "a character was split: " << line;
    }
    text += bytes;
    if (end == Encoded.size()) return text;
    start = end + 2;
  }
}

std::string QuotedPrintableLines(const std::string& Text) {
  std::string lines;
  char wire[MaxQuotedPrintableLine + 1];
  std::size_t offset = 0;
  do {
    const std::size_t n = EncodeQuotedPrintable(Text, offset, wire);
    EXPECT_EQ(n, std::strlen(wire));
    EXPECT_LE(n, MaxQuotedPrintableLine);
    lines += std::string(wire, n) + "\n";
  } while (offset < Text.size());
  return lines;
}

// RFC 2045 6.7 decoding: "=XX" is a byte, "=" at a line end joins the next line.
std::string QuotedPrintableDecode(const std::string& Lines) {
  std::string out;
  for (std::size_t i = 0; i < Lines.size(); ++i) {
    if (Lines[i] == '=' && Lines[i + 1] == '\n') {
      ++i;
    } else if (Lines[i] == '=') {
      out += static_cast<char>(HexValue(Lines[i + 1]) * 16 + HexValue(Lines[i + 2]));
      i += 2;
    } else if (Lines[i] != '\n') {
      out += Lines[i];
    } else {
      out += '\n';
    }
  }
  return out.substr(0, out.size() - 1);
}

}  // namespace

TEST(SmtpEncoding, AsciiHeaderTextStaysByteForByte) {
  for (const char* text : {"", "Hello", "  spaced  out  ", "Re: [list] a; b, c (d) \"e\""})
    EXPECT_EQ(EncodeUnstructured(text, "utf-8", 9), text);
  EXPECT_EQ(EncodeAddressList("Me <me@x.example>,  you@x.example", "iso-8859-1", 4),
            "Me <me@x.example>,  you@x.example");
  EXPECT_EQ(EncodeAddressList("\"Doe, John\" <a@x.example>", "utf-8", 6),
            "\"Doe, John\" <a@x.example>");
}

TEST(SmtpEncoding, TextBeyondAsciiBecomesWordsThatDecodeToIt) {
  const std::string subject = "Grüße aus Köln – 東京の天気 " + std::string(120, 'x') + " ünd Ende";
  const std::string encoded = EncodeUnstructured(subject, "utf-8", 9);
  EXPECT_FALSE(HoldsEightBit(encoded));
  EXPECT_EQ(DecodeWords(encoded, 9), subject);
  // Latin-1 bytes in a Latin-1 message: one byte, one character.
  const std::string latin =
      "Gr\xFC\xDF"
      "e " +
      std::string(80, '\xE9');
  EXPECT_EQ(DecodeWords(EncodeUnstructured(latin, "iso-8859-1", 9), 9), latin);
  // Text that looks like an encoded-word is encoded itself, so that it reads as typed.
  EXPECT_EQ(DecodeWords(EncodeUnstructured("=?utf-8?q?x?=", "utf-8", 9), 9), "=?utf-8?q?x?=");
}

TEST(SmtpEncoding, DisplayNamesAreQuotedOrEncodedAndAddressesKept) {
  EXPECT_EQ(EncodeAddressList("Doe, John <ann@example.org>", "utf-8", 6),
            "\"Doe, John\" <ann@example.org>");
  EXPECT_EQ(
      EncodeAddressList("Doe, John <a@x.example>, Bob <b@x.example>, c@x.example", "utf-8", 4),
      "\"Doe, John\" <a@x.example>, Bob <b@x.example>, c@x.example");
  EXPECT_EQ(EncodePhrase("J. R. \"Bob\" Dobbs\\", "utf-8", 6), R"("J. R. \"Bob\" Dobbs\\")");
  EXPECT_EQ(EncodePhrase("Plain Name", "utf-8", 6), "Plain Name");
  const std::string from = EncodeAddressList("Ånn Müller <ann@example.org>", "utf-8", 6);
  const std::size_t lt = from.rfind(" <ann@example.org>");
  ASSERT_NE(lt, std::string::npos) << from;
  EXPECT_EQ(DecodeWords(from.substr(0, lt), 6), "Ånn Müller");
  // A quoted name beyond ASCII loses its quotes to the encoding, not its text.
  const std::string quoted = EncodeAddressList("\"Müller, Ånn\" <a@x.example>", "utf-8", 6);
  EXPECT_EQ(DecodeWords(quoted.substr(0, quoted.find(" <")), 6), "Müller, Ånn");
}

TEST(SmtpEncoding, FileNamesBeyondAsciiGetAnExtendedParameterAndEncodedWords) {
  EXPECT_FALSE(NeedsExtendedParameter("report 2026.pdf"));
  EXPECT_TRUE(NeedsExtendedParameter("résumé ü.txt"));
  EXPECT_TRUE(NeedsExtendedParameter("say \"hi\".txt"));
  EXPECT_EQ(ExtendedParameterValue("résumé ü.txt"), "utf-8''r%C3%A9sum%C3%A9%20%C3%BC.txt");
  EXPECT_EQ(ExtendedParameterValue("caf\xE9.txt"), "iso-8859-1''caf%E9.txt");
  // The words sit inside name="...": no quote or backslash may stay literal, and a long name
  // folds into whole characters per word.
  const std::string quoted = EncodedParameterValue("say \"hi\" \\ there.txt", 14);
  EXPECT_EQ(quoted.find_first_of("\"\\"), std::string::npos) << quoted;
  EXPECT_EQ(DecodeWords(quoted, 14), "say \"hi\" \\ there.txt");
  std::string longName;
  for (int i = 0; i < 30; ++i) longName += "東京";
  longName += ".pdf";
  EXPECT_EQ(DecodeWords(EncodedParameterValue(longName, 14), 14), longName);
  EXPECT_EQ(DecodeWords(EncodedParameterValue("caf\xE9.txt", 14), 14), "caf\xE9.txt");
}

TEST(SmtpEncoding, QuotedPrintableLinesGiveTheTextBackExactly) {
  const std::vector<std::string> texts = {
      "",
      "plain",
      "trailing blanks   ",
      "trailing tab\t",
      ".starts with a dot",
      "From the start",
      "a=b and =?x?=",
      std::string(5000, 'x'),
      std::string(2000, ' ') + "end",
      "Grüße \xC3\xA9\r\n\x01 embedded",
  };
  for (const std::string& text : texts) {
    const std::string lines = QuotedPrintableLines(text);
    EXPECT_EQ(QuotedPrintableDecode(lines), text) << lines;
    EXPECT_FALSE(HoldsEightBit(lines));
    const auto lineEnds = static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n'));
    EXPECT_EQ(QuotedPrintableSize(text), lines.size() + lineEnds) << "CR LF ends every line";
    // No line ends in a blank (a transport may strip it), and none starts "From ".
    for (std::size_t end = lines.find('\n'), start = 0; end != std::string::npos;
         start = end + 1, end = lines.find('\n', start)) {
      if (end > start) {
        EXPECT_NE(lines[end - 1], ' ') << lines;
      }
      EXPECT_NE(lines.compare(start, 5, "From "), 0) << lines;
    }
  }
  EXPECT_EQ(QuotedPrintableLines(std::string(76, 'y')), std::string(76, 'y') + "\n");
  EXPECT_EQ(QuotedPrintableLines(std::string(77, 'y')), std::string(75, 'y') + "=\n" + "yy\n");
}
