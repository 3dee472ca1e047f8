// Addresses from the desktop: mailto: links (RFC 6068, its own examples among them) and file:
// addresses, read on their own and applied as command-line arguments.
#include <stdexcept>
#include <string>
#include <vector>

#include "app/MailtoUri.h"
#include "app/Tarvik2_unit1.h"
#include "tests/app/AppTestSupport.h"

namespace {

using Strings = std::vector<std::string>;

TEST(MailtoUriTest, ReadsTheExamplesOfItsStandard) {
  struct Case {
    const char* uri;
    Strings to, cc;
    const char* subject;  // null: none
    const char* body;
  };
  const Case cases[] = {
      {"mailto:chris@example.com", {"chris@example.com"}, {}, nullptr, nullptr},
      {"mailto:infobot@example.com?subject=current-issue",
       {"infobot@example.com"},
       {},
       "current-issue",
       nullptr},
      {"mailto:infobot@example.com?body=send%20current-issue%0D%0Asend%20index",
       {"infobot@example.com"},
       {},
       nullptr,
       "send current-issue\r\nsend index"},
      // An unknown header field is ignored.
      {"mailto:list@example.org?In-Reply-To=%3C3469A91.D10AF4C@example.com%3E",
       {"list@example.org"},
       {},
       nullptr,
       nullptr},
      {"mailto:joe@example.com?cc=bob@example.com&body=hello",
       {"joe@example.com"},
       {"bob@example.com"},
       nullptr,
       "hello"},
      {"mailto:gorby%25kremvax@example.com", {"gorby%kremvax@example.com"}, {}, nullptr, nullptr},
      {"mailto:unlikely%3Faddress@example.com?blat=foop",
       {"unlikely?address@example.com"},
       {},
       nullptr,
       nullptr},
      {"mailto:Mike%26family@example.org", {"Mike&family@example.org"}, {}, nullptr, nullptr},
      {"mailto:%22not%40me%22@example.org", {"\"not@me\"@example.org"}, {}, nullptr, nullptr},
      {"mailto:user@example.org?subject=caf%C3%A9", {"user@example.org"}, {}, "café", nullptr},
      {"mailto:user@%E7%B4%8D%E8%B1%86.example.org?subject=Test&body=NATTO",
       {"user@納豆.example.org"},
       {},
       "Test",
       "NATTO"},
      // Several addresses, in the path and in "to" fields alike; "+" is no blank here.
      {"mailto:addr1@an.example,addr2@an.example",
       {"addr1@an.example", "addr2@an.example"},
       {},
       nullptr,
       nullptr},
      {"mailto:?to=addr1@an.example,addr2@an.example&TO=addr3@an.example&Subject=a+b",
       {"addr1@an.example", "addr2@an.example", "addr3@an.example"},
       {},
       "a+b",
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.uri);
    const TMailto mailto = ParseMailto(c.uri);
    EXPECT_EQ(mailto.To, c.to);
    EXPECT_EQ(mailto.Cc, c.cc);
    EXPECT_EQ(mailto.Subject.value_or("(none)"), c.subject ? c.subject : "(none)");
    EXPECT_EQ(mailto.Body.value_or("(none)"), c.body ? c.body : "(none)");
  }
}

// Each refusal says what is wrong. A line break in the subject or a recipient would add header
// lines of the link's choosing; a ";" would split one address into two recipients.
TEST(MailtoUriTest, RefusesWhatCannotBeSentSafely) {
  const std::pair<const char*, const char*> cases[] = {
      {"mailto:bob@example.org?subject=%zz", "is no percent escape"},
      {"mailto:bob@example.org?subject=50%", "is no percent escape"},
      {"mailto:bob@example.org?subject=%C3", "is no UTF-8"},
      {"mailto:bob@example.org?subject=Hi%0D%0ABcc:%20eve@example.org", "line break"},
      {"mailto:bob%0D%0A@example.org", "cannot be a recipient"},
      {"mailto:a%3Bb@example.org", "cannot be a recipient"},
      {"mailto:bob", "has no \"@\""},
      {"mailto:bob@example.org?subject", "is no field=value pair"},
  };
  for (const auto& [uri, reason] : cases) {
    SCOPED_TRACE(uri);
    try {
      ParseMailto(uri);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
    }
  }
}

TEST(MailtoUriTest, FileAddressesAreLocalPaths) {
  EXPECT_EQ(LocalPathOfFileUri("file:///home/ann/My%20Report.pdf"), "/home/ann/My Report.pdf");
  EXPECT_EQ(LocalPathOfFileUri("file://localhost/tmp/a%23b"), "/tmp/a#b");
  EXPECT_EQ(LocalPathOfFileUri("file:/tmp/x"), "/tmp/x");
  EXPECT_THROW(LocalPathOfFileUri("file://otherhost/tmp/x"), std::invalid_argument);
  EXPECT_THROW(LocalPathOfFileUri("file:///tmp/a%00b"), std::invalid_argument);
}

using MailtoArgumentTest = apptest::ComposerTest;

// As arguments (the desktop entry's %U): a link fills the fields and joins the recipients given
// before it; its "/" makes it no file to attach. A file: address is attached by its path, and
// a link that cannot be read stops the command line with the reason.
TEST_F(MailtoArgumentTest, LinksFillTheFieldsAndFileAddressesAttach) {
  TForm1& f = Start({"-cc:carl@example.org", "file:///tmp/a%20b.txt",
                     "MAILTO:bob@example.org?cc=dan@example.org&bcc=eve@example.org&subject="
                     "Re%3A%20a%2Fb&body=line%201%0D%0Aline%202&attach=%2Fetc%2Fpasswd"});
  EXPECT_EQ(f.sendto.Text, "bob@example.org");
  EXPECT_EQ(f.cc.Text, "carl@example.org;dan@example.org");
  EXPECT_EQ(f.bcc.Text, "eve@example.org");
  EXPECT_EQ(f.subject.Text, "Re: a/b");
  EXPECT_EQ(f.MessageText.Lines, (TStringList{"line 1", "line 2"}));
  EXPECT_EQ(f.AttachedFiles.Items, (TStringList{"/tmp/a b.txt"})) << "no file from the link";
  EXPECT_TRUE(f.FocusTimer.Enabled());

  try {
    Start({"mailto:bob@example.org?subject=%C3%28", "-send"});
    ADD_FAILURE() << "accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot use the address \"mailto:bob@example.org?subject=%C3%28\": subject: the "
              "text is no UTF-8.");
  }
  EXPECT_FALSE(form().AutoSend);
}

}  // namespace
