// The window's password dialog and its "Remember in keyring" box, and a send whose password
// command runs long: the window keeps showing the model's state and Abort ends the command.
#include <signal.h>

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <deque>

#include "tests/app/ComposerPeers.h"
#include "tests/frontend/qt/WindowTestSupport.h"
#include "tests/peers/tls_test_ca.h"

namespace {

using namespace windowtest;

// The open password dialog, or nullptr.
QDialog* PasswordDialog() {
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (auto* dialog = qobject_cast<QDialog*>(widget);
        dialog && dialog->isVisible() && dialog->findChild<QLineEdit*>("password"))
      return dialog;
  return nullptr;
}

// A person at the password dialog: types Text, notes whether the box was there and ticked,
// ticks it as Tick says, and confirms.
struct TPasswordAnswer {
  const char* Text;
  bool Tick;
  bool BoxShown = false;
  bool BoxWasTicked = false;
};

void AnswerWhenAsked(TPasswordAnswer& Answer) {
  QTimer::singleShot(10, [&Answer] {
    QDialog* dialog = PasswordDialog();
    if (!dialog) return AnswerWhenAsked(Answer);
    QTest::keyClicks(dialog->findChild<QLineEdit*>("password"), Answer.Text);
    if (auto* box = dialog->findChild<QCheckBox*>("remember")) {
      Answer.BoxShown = true;
      Answer.BoxWasTicked = box->isChecked();
      box->setChecked(Answer.Tick);
    }
    dialog->accept();
  });
}

// A person at the password dialogs of a send: each dialog that opens is read (its prompt noted)
// and answered with the next of Answers, nullptr being Cancel.
void AnswerInTurn(std::deque<const char*>& Answers, std::vector<std::string>& Prompts) {
  QTimer::singleShot(10, [&Answers, &Prompts] {
    QDialog* dialog = Answers.empty() ? nullptr : PasswordDialog();
    if (dialog) {
      Prompts.push_back(dialog->findChild<QLabel*>()->text().toStdString());
      const char* text = Answers.front();
      Answers.pop_front();
      if (text) QTest::keyClicks(dialog->findChild<QLineEdit*>("password"), text);
      text ? dialog->accept() : dialog->reject();
    }
    if (!Answers.empty()) AnswerInTurn(Answers, Prompts);
  });
}

class PasswordDialogTest : public WindowTest {
 protected:
  // The arguments of an aiosmtpd that offers STARTTLS with a certificate of ca and takes the
  // login ann with Password.
  std::vector<std::string> StartTlsLogin(const std::string& Password) const {
    return {"--tls-cert",  cert.Cert, "--tls-key",       cert.Key, "--starttls",
            "--auth-user", "ann",     "--auth-password", Password};
  }
  TlsTestCa ca;
  const TlsTestCert cert = ca.Issue("localhost");
};

}  // namespace

TEST_F(PasswordDialogTest, TheRememberBoxIsOfferedOnlyWhereAsked) {
  TPasswordAnswer remembered{"typed-secret", true};
  AnswerWhenAsked(remembered);
  TSecret password;
  bool remember = false;
  EXPECT_TRUE(frontEnd.AskPasswordToRemember("Password for ann at localhost:", password, remember));
  EXPECT_EQ(password.View(), "typed-secret");
  EXPECT_TRUE(remembered.BoxShown);
  EXPECT_FALSE(remembered.BoxWasTicked);
  EXPECT_TRUE(remember);

  TPasswordAnswer plain{"other", true};
  AnswerWhenAsked(plain);
  EXPECT_TRUE(frontEnd.AskPassword("Password for ann at localhost:", password));
  EXPECT_EQ(password.View(), "other");
  EXPECT_FALSE(plain.BoxShown);
}

TEST_F(PasswordDialogTest, TheWindowStaysLiveWhileThePasswordCommandRunsAndAbortEndsIt) {
  composertest::SmtpPeer server(folder.File("server"), StartTlsLogin("pw"));
  const std::string pidFile = folder.File("pid");
  Ini("[defaults]\ntls=starttls\nuser=ann\ncafile=" + ca.CaFile() + "\npasswordcmd=echo $$ > " +
      pidFile + "; exec sleep 60\n");
  Open({"-server:localhost:" + std::to_string(server.Port()), "-from:ann@example.org",
        "bob@example.org", "-s:Hello", "-msg:Hi"});
  auto* status = Widget<QLabel>("StatusBar1");
  auto* send = Widget<QPushButton>("SendBtn");
  QTest::mouseClick(send, Qt::LeftButton);
  // The window shows what the model says while the command runs.
  ASSERT_TRUE(WaitUntil([&] { return status->text() == "Status: Getting the password..."; }));
  ASSERT_TRUE(WaitUntil([&] { return !apptest::ReadFile(pidFile).empty(); }));
  const pid_t command = std::stoi(apptest::ReadFile(pidFile));
  QTest::mouseClick(send, Qt::LeftButton);  // Abort
  ASSERT_TRUE(WaitUntil([&] { return status->text() == "Status: Sending aborted."; }, 3000));
  EXPECT_NE(::kill(command, 0), 0) << "the password command still runs";
  EXPECT_EQ(send->text(), "&Send");
  EXPECT_EQ(server.Received(), 0);
}

// A typed password the server refuses (535) is asked for again, the prompt saying so, on the
// same connection: the right one then sends the message. Cancel at a prompt asked again reports
// the server's refusal, and so does the third wrong password in a row.
TEST_F(PasswordDialogTest, ARefusedTypedPasswordIsAskedAgainUntilCancelOrTheThirdRefusal) {
  composertest::SmtpPeer server(folder.File("server"), StartTlsLogin("right"));
  Ini("[defaults]\ntls=starttls\nuser=ann\ncafile=" + ca.CaFile() + "\n");
  Open({"-server:localhost:" + std::to_string(server.Port()), "-from:ann@example.org",
        "bob@example.org", "-s:Hello", "-msg:Hi"});
  auto* status = Widget<QLabel>("StatusBar1");
  const std::string ask = "Password for ann at localhost:";
  const std::string again =
      "The server refused the password that was typed for ann at localhost.\n" + ask;
  struct Case {
    std::deque<const char*> answers;
    std::vector<std::string> prompts;
    int received;
  };
  // The message is sent last: a second send of it would ask about a copy first.
  for (Case c : {Case{{"wrong", nullptr}, {ask, again}, 0},
                 Case{{"wrong1", "wrong2", "wrong3"}, {ask, again, again}, 0},
                 Case{{"wrong", "right"}, {ask, again}, 1}}) {
    std::vector<std::string> prompts;
    AnswerInTurn(c.answers, prompts);
    boxes.Boxes.clear();
    QTest::mouseClick(Widget<QPushButton>("SendBtn"), Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return status->text().startsWith("Status: Message "); }))
        << status->text().toStdString();
    EXPECT_EQ(prompts, c.prompts);
    EXPECT_EQ(server.Received(), c.received);
    if (c.received) {
      EXPECT_EQ(status->text(), "Status: Message sent successfully.");
      EXPECT_TRUE(boxes.Boxes.empty());
      continue;
    }
    ASSERT_EQ(boxes.Boxes.size(), 1u);
    EXPECT_EQ(boxes.Boxes[0].Text.rfind("Error occured while sending mail:\n535 ", 0), 0u)
        << boxes.Boxes[0].Text;
    EXPECT_NE(boxes.Boxes[0].Text.find("\nThe server refused the password of user ann"),
              std::string::npos)
        << boxes.Boxes[0].Text;
  }
}
