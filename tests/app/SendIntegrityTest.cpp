// A send never carries, nor deletes, a file other than the one that was read: the message file
// and the attachments rewritten during a slow upload or after the final dot, with -fdel and
// -adel; and addresses refused, named with their field, before any connection.
#include <fstream>
#include <string>

#include "tests/app/AppTestSupport.h"
#include "tests/app/ComposerPeers.h"
#include "tests/smtp/SmtpTestSupport.h"

namespace {

using namespace apptest;
using namespace composertest;

class SendIntegrityTest : public ComposerTest {
 protected:
  // The composer as "-f:message.txt -fdel -adel big.bin" starts it (without -fdel and -adel
  // unless DeleteAfter), addressed to the server.
  TForm1& StartWithFiles(const std::string& server, std::size_t attachmentSize,
                         bool DeleteAfter = true) {
    WriteFile(MessageFile(), "Hello\n");
    WriteFile(Attachment(), std::string(attachmentSize, 'a'));
    TForm1& f = DeleteAfter ? Start({"-f:" + MessageFile(), "-fdel", "-adel", Attachment()})
                            : Start({"-f:" + MessageFile(), Attachment()});
    f.SMTPServer.Text = server;
    f.from.Text = "ann@example.org";
    f.sendto.Text = "bob@example.org";
    return f;
  }
  std::string MessageFile() const { return folder.File("message.txt"); }
  std::string Attachment() const { return folder.File("big.bin"); }
  std::vector<std::string> Boxes() const {
    std::vector<std::string> texts;
    for (const auto& box : frontEnd.MessageBoxes) texts.push_back(box.Text);
    return texts;
  }
  // Same inode, same size, new bytes: an editor that saves in place.
  static void RewriteInPlace(const std::string& path) {
    std::fstream(path, std::ios::in | std::ios::out | std::ios::binary) << "rewritten";
  }
};

TEST_F(SendIntegrityTest, AFileRewrittenDuringASlowUploadFailsTheSendAndIsKept) {
  const struct {
    bool attachment, deleteAfter;
  } cases[] = {{true, true}, {true, false}, {false, true}};
  for (const auto [attachment, deleteAfter] : cases) {
    SCOPED_TRACE(std::string(attachment ? "the attachment" : "the message file") +
                 (deleteAfter ? ", -fdel -adel" : ""));
    smtptest::ScriptedServer server(smtptest::GatedSinkScript(/*BeforeData=*/true));
    TForm1& f = StartWithFiles("127.0.0.1:" + server.PortText(), 30 << 20, deleteAfter);
    frontEnd.MessageBoxes.clear();
    f.SendBtn.Click();
    // The attachment is open: the upload has begun and the server is not reading.
    ASSERT_TRUE(PumpUntil([&] { return !f.SmtpCli1->SentAttachments().empty(); }));
    const std::string changed = attachment ? Attachment() : MessageFile();
    RewriteInPlace(changed);
    server.Release();
    ASSERT_TRUE(PumpUntil([&] { return !f.Sending(); }, 60000));
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0], "Error occured while sending mail:\r500 The file '" + changed +
                              "' changed while it was sent; message not sent");
    EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Message not sent due to an error.");
    EXPECT_TRUE(Exists(MessageFile()));
    EXPECT_TRUE(Exists(Attachment()));
    ASSERT_TRUE(PumpUntil([&] { return server.Done(); }));
    EXPECT_EQ(server.DataEnds(), 0) << "the server never saw the final dot";
  }
}

TEST_F(SendIntegrityTest, AFileChangedAfterTheFinalDotIsNotDeleted) {
  smtptest::ScriptedServer server(smtptest::GatedSinkScript(/*BeforeData=*/false));
  TForm1& f = StartWithFiles("127.0.0.1:" + server.PortText(), 1000);
  f.SendBtn.Click();
  ASSERT_TRUE(PumpUntil([&] { return server.DataEnds() > 0; }));
  RewriteInPlace(Attachment());
  server.Release();
  ASSERT_TRUE(PumpUntil([&] { return !f.Sending(); }));
  EXPECT_TRUE(Boxes().empty()) << Boxes()[0];
  EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Message sent successfully. The file " + Attachment() +
                                         " changed after it was sent and is kept.");
  EXPECT_FALSE(Exists(MessageFile())) << "unchanged, so deleted as asked";
  EXPECT_EQ(ReadFile(Attachment()).substr(0, 9), "rewritten");
}

TEST_F(SendIntegrityTest, AnAddressWithAControlCharacterIsRefusedWithItsFieldBeforeConnecting) {
  smtptest::IdleListener listener;
  TForm1& f = Start();
  f.SMTPServer.Text = "127.0.0.1:" + listener.PortText();
  f.from.Text = "Ann <ann@example.org>";
  f.sendto.Text = "root@example.org; b\x01@example.org";
  f.MessageText.Lines.Add("Hello");
  f.SendBtn.Click();
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0],
            "The address \"b\\x01@example.org\" in the to-field holds the control character 0x01, "
            "can't send mail.");
  EXPECT_FALSE(f.Sending());
  EXPECT_FALSE(listener.SawConnection());
}

}  // namespace
