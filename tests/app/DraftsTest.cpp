// Drafts: what is written where (and with which permissions), the offer at the next start,
// loading and declining, the close, the switch for scripting mode, and a save interrupted by a
// killed process, which must leave the previous draft whole.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/Tarvik2_unit1.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/ComposerPeers.h"

namespace {

using namespace apptest;

class DraftsTest : public ComposerTest {
 protected:
  std::string Draft(const char* extension) const {
    return folder.File("state") + "/tarvik/tarvik2." + extension;
  }
  // A composer as after start-up, with a message in it.
  TForm1& Composing() {
    TForm1& f = Start();
    f.from.Text = "Ann <ann@example.org>";
    f.sendto.Text = "bob@example.org";
    f.subject.Text = "Plans";
    f.SMTPServer.Text = "mail.example.org:2525";
    f.MessageText.Lines = TStringList{"Hello Bob,", "", "see you."};
    return f;
  }
  // Temporary files of unfinished saves in the draft folder ("tarvik2.dft.XXXXXX" ...).
  int Temporaries() const {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder.File("state") + "/tarvik"))
      if (entry.path().filename().string().size() > std::strlen("tarvik2.dft")) ++count;
    return count;
  }
  // The next start: settings, command line, then the window is shown (the offer).
  TForm1& NextStart(int answer, const std::vector<std::string>& arguments = {}) {
    frontEnd.MessageBoxAnswers = {answer};
    frontEnd.MessageBoxes.clear();
    TForm1& f = Start(arguments);
    f.Show();
    return f;
  }
  bool Offered() const {
    for (const auto& box : frontEnd.MessageBoxes)
      if (box.Caption == "Draft Saved") return true;
    return false;
  }
  static int Mode(const std::string& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return static_cast<int>(info.st_mode & 0777);
  }
};

TEST_F(DraftsTest, SaveWritesThreePrivateFilesWithCrLfLines) {
  TForm1& f = Composing();
  f.AttachedFiles.Items = TStringList{"/home/ann/a.pdf", "/home/ann/b c.txt"};
  f.SaveDraft();
  EXPECT_EQ(ReadFile(Draft("dft")), "Hello Bob,\r\n\r\nsee you.\r\n");
  EXPECT_EQ(ReadFile(Draft("dfh")),
            "Ann <ann@example.org>\r\nbob@example.org\r\nPlans\r\nmail.example.org:2525\r\n");
  EXPECT_EQ(ReadFile(Draft("dfa")), "/home/ann/a.pdf\r\n/home/ann/b c.txt\r\n");
  EXPECT_EQ(Mode(folder.File("state") + "/tarvik"), 0700);
  for (const char* extension : {"dft", "dfh", "dfa"}) EXPECT_EQ(Mode(Draft(extension)), 0600);
  // Nothing but the three files (and the window's lock file) is left in the folder.
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder.File("state") + "/tarvik"))
    if (entry.path().filename() != "tarvik2.lck") ++entries;
  EXPECT_EQ(entries, 3);
}

TEST_F(DraftsTest, LineBreakInAFieldDoesNotShiftTheOthers) {
  TForm1& f = Composing();
  f.subject.Text = "two\r\nlines";
  f.SaveDraft();
  EXPECT_EQ(ReadFile(Draft("dfh")),
            "Ann <ann@example.org>\r\nbob@example.org\r\ntwo  lines\r\nmail.example.org:2525\r\n");
}

TEST_F(DraftsTest, EmptyMemoWritesNothingEvenOnCtrlS) {
  TForm1& f = Start();
  std::uint16_t key = 'S';
  f.FormKeyDown(&f.MessageText, key, ssCtrl);
  EXPECT_TRUE(f.KeepDraft);
  EXPECT_FALSE(Exists(Draft("dft")));
  EXPECT_FALSE(Exists(Draft("dfh")));
}

TEST_F(DraftsTest, TimerTickSavesWithoutKeepingTheDraftAtClose) {
  TForm1& f = Composing();
  EXPECT_TRUE(f.SaveDraftTimer.Enabled());
  EXPECT_EQ(f.SaveDraftTimer.Interval(), 120000u);
  f.SaveDraftTimer.OnTimer(&f.SaveDraftTimer);
  EXPECT_TRUE(Exists(Draft("dft")));
  f.Close();
  EXPECT_FALSE(Exists(Draft("dft"))) << "a periodic save alone is deleted at a normal close";
  EXPECT_FALSE(Exists(Draft("dfh")));
}

TEST_F(DraftsTest, CtrlSDraftIsOfferedAndLoadedAtTheNextStart) {
  TForm1& f = Composing();
  f.AttachedFiles.Items = TStringList{"/tmp/x.bin"};
  std::uint16_t key = 'S';
  f.FormKeyDown(&f.MessageText, key, ssCtrl);
  f.Close();
  ASSERT_TRUE(Exists(Draft("dft")));

  // The command line is overwritten by the draft.
  TForm1& g = NextStart(IDYES, {"-s:Other", "carol@example.org"});
  ASSERT_EQ(frontEnd.MessageBoxes.size(), 1u);
  EXPECT_EQ(frontEnd.MessageBoxes[0].Text,
            "There is an unsent saved draft.\r\rWould you like to load it?");
  EXPECT_EQ(frontEnd.MessageBoxes[0].Caption, "Draft Saved");
  EXPECT_EQ(frontEnd.MessageBoxes[0].Type, MB_YESNO + MB_ICONQUESTION);
  EXPECT_EQ(g.MessageText.Lines, (TStringList{"Hello Bob,", "", "see you."}));
  EXPECT_EQ(g.from.Text, "Ann <ann@example.org>");
  EXPECT_EQ(g.sendto.Text, "bob@example.org");
  EXPECT_EQ(g.subject.Text, "Plans");
  EXPECT_EQ(g.SMTPServer.Text, "mail.example.org:2525");
  EXPECT_EQ(g.AttachedFiles.Items, (TStringList{"/tmp/x.bin"}));
  EXPECT_TRUE(g.KeepDraft);
  EXPECT_EQ(g.ActiveControl(), &g.MessageText);
}

TEST_F(DraftsTest, CopyFieldsAreKeptAndADraftWithoutThemStillLoads) {
  TForm1& f = Composing();
  f.cc.Text = "carol@example.org";
  f.bcc.Text = "dave <dave@example.org>";
  std::uint16_t key = 'S';
  f.FormKeyDown(&f.MessageText, key, ssCtrl);
  f.Close();
  EXPECT_EQ(ReadFile(Draft("dfh")),
            "Ann <ann@example.org>\r\nbob@example.org\r\nPlans\r\nmail.example.org:2525\r\n"
            "carol@example.org\r\ndave <dave@example.org>\r\n");
  TForm1& g = NextStart(IDYES);
  EXPECT_EQ(g.cc.Text, "carol@example.org");
  EXPECT_EQ(g.bcc.Text, "dave <dave@example.org>");
  EXPECT_EQ(g.SMTPServer.Text, "mail.example.org:2525");
  g.Close();

  WriteFile(Draft("dfh"), "ann@example.org\r\nbob@example.org\r\nOld\r\nhost\r\n");
  TForm1& h = NextStart(IDYES);
  EXPECT_EQ(h.subject.Text, "Old");
  EXPECT_EQ(h.cc.Text, "");
  EXPECT_EQ(h.bcc.Text, "");
}

// Alt+X (or the window's close) with a message neither sent nor saved.
TEST_F(DraftsTest, CloseWithUnsentTextAsksAndEachAnswerDoesWhatItSays) {
  enum { kSave, kDiscard, kCancel };
  auto altX = [](TForm1& form) { form.KeyDown(form.MessageText, 'X', ssAlt); };

  TForm1& f = Composing();
  f.SaveDraftTimer.OnTimer(&f.SaveDraftTimer);  // a periodic save alone keeps nothing
  frontEnd.ChoiceAnswers = {kCancel};
  altX(f);
  ASSERT_EQ(frontEnd.Choices.size(), 1u);
  EXPECT_EQ(frontEnd.Choices[0].Buttons,
            (std::vector<std::string>{"&Save draft", "&Discard", "&Cancel"}));
  EXPECT_FALSE(f.Closed()) << "Cancel keeps the window";
  EXPECT_FALSE(f.RequestClose()) << "no answer is Cancel as well";
  EXPECT_FALSE(f.Closed());

  frontEnd.ChoiceAnswers = {kDiscard};
  altX(f);
  EXPECT_TRUE(f.Closed());
  EXPECT_FALSE(Exists(Draft("dft"))) << "Discard closes as always";

  TForm1& g = Composing();
  frontEnd.ChoiceAnswers = {kSave};
  EXPECT_TRUE(g.RequestClose());
  EXPECT_TRUE(g.Closed());
  TForm1& h = NextStart(IDYES);
  EXPECT_TRUE(Offered());
  EXPECT_EQ(h.MessageText.Lines, (TStringList{"Hello Bob,", "", "see you."}));

  // Nothing to lose, nothing asked: a kept draft, a message sent as it stands, an empty memo.
  const std::size_t asked = frontEnd.Choices.size();
  EXPECT_TRUE(h.RequestClose());
  TForm1& sent = Composing();
  sent.SentMessageImage = sent.MessageImage();
  EXPECT_TRUE(sent.RequestClose());
  TForm1& changed = Composing();
  changed.SentMessageImage = changed.MessageImage();
  changed.MessageText.Lines.Add("P.S.");
  frontEnd.ChoiceAnswers = {kCancel};
  EXPECT_FALSE(changed.RequestClose()) << "changed after the send";
  TForm1& empty = Start();
  EXPECT_TRUE(empty.RequestClose());
  EXPECT_EQ(frontEnd.Choices.size(), asked + 1);
}

TEST_F(DraftsTest, SigtermAndSighupKeepTheDraftAndCloseTheWindow) {
  for (const int signal : {SIGTERM, SIGHUP}) {
    TForm1& f = Composing();
    f.Show();
    ASSERT_TRUE(f.SessionSignals && f.SessionSignals->Active());
    ASSERT_EQ(::pthread_kill(::pthread_self(), signal), 0);
    ASSERT_TRUE(composertest::PumpUntil([&] { return f.Closed(); })) << signal;
    EXPECT_TRUE(frontEnd.Choices.empty()) << "nobody is asked at a logout";
    TForm1& g = NextStart(IDYES);
    EXPECT_TRUE(Offered()) << signal;
    EXPECT_EQ(g.subject.Text, "Plans");
    g.KeepDraft = false;
    g.Close();
  }
}

TEST_F(DraftsTest, EachWindowOwnsItsDraftAndADeadWindowsDraftIsOffered) {
  auto window = [this](const std::string& text) {
    auto form = std::make_unique<TForm1>();
    form->OnInit(form.get());
    form->Show();
    if (!text.empty()) form->MessageText.Lines = TStringList{text};
    return form;
  };
  auto ctrlS = [](TForm1& form) {
    std::uint16_t key = 'S';
    form.FormKeyDown(&form.MessageText, key, ssCtrl);
  };
  std::unique_ptr<TForm1> first = window("first");
  ctrlS(*first);
  std::unique_ptr<TForm1> second = window("second");
  EXPECT_FALSE(Offered()) << "a running window's draft is never offered";
  ctrlS(*second);
  EXPECT_EQ(ReadFile(Draft("dft")), "first\r\n");
  EXPECT_EQ(ReadFile(folder.File("state") + "/tarvik/tarvik2-2.dft"), "second\r\n");

  // The first window dies (no close processing); the next window is offered its draft, not
  // the one of the second window, which is still open.
  first.reset();
  frontEnd.MessageBoxAnswers = {IDYES};
  std::unique_ptr<TForm1> third = window("");
  EXPECT_TRUE(Offered());
  EXPECT_EQ(third->MessageText.Lines, (TStringList{"first"}));
  // Closing one window deletes its own draft only.
  second->KeepDraft = false;
  second->Close();
  EXPECT_FALSE(Exists(folder.File("state") + "/tarvik/tarvik2-2.dft"));
  EXPECT_TRUE(Exists(Draft("dft")));
}

TEST_F(DraftsTest, DecliningDeletesAllThreeAndTheNextStartMakesNoOffer) {
  TForm1& f = Composing();
  f.AttachedFiles.Items = TStringList{"/tmp/x.bin"};
  f.SaveDraft();
  NextStart(IDNO);
  EXPECT_TRUE(Offered());
  for (const char* extension : {"dft", "dfh", "dfa"}) EXPECT_FALSE(Exists(Draft(extension)));
  NextStart(IDYES);
  EXPECT_FALSE(Offered());
}

TEST_F(DraftsTest, AttachmentListOfAnEarlierSaveSurvivesASaveWithoutAttachments) {
  TForm1& f = Composing();
  f.AttachedFiles.Items = TStringList{"/tmp/old.bin"};
  f.SaveDraft();
  f.AttachedFiles.Items.Clear();
  f.MessageText.Lines.Add("more");
  f.SaveDraft();
  f.KeepDraft = true;
  f.Close();
  TForm1& g = NextStart(IDYES);
  EXPECT_EQ(g.AttachedFiles.Items, (TStringList{"/tmp/old.bin"}));
  EXPECT_EQ(g.MessageText.Lines.Count(), 4);
}

TEST_F(DraftsTest, ShortHeaderFileLeavesTheRemainingFieldsEmpty) {
  std::filesystem::create_directories(folder.File("state") + "/tarvik");
  WriteFile(Draft("dft"), "text\r\n");
  WriteFile(Draft("dfh"), "ann@example.org\r\nbob@example.org\r\n");
  TForm1& g = NextStart(IDYES, {"-s:Set_by_command_line", "-server:smtp.example.org"});
  EXPECT_EQ(g.from.Text, "ann@example.org");
  EXPECT_EQ(g.sendto.Text, "bob@example.org");
  EXPECT_EQ(g.subject.Text, "");
  EXPECT_EQ(g.SMTPServer.Text, "");
  EXPECT_TRUE(g.AttachedFiles.Items.Empty());
}

TEST_F(DraftsTest, ClearOrASuccessfulSendDeletesTheDraftAtClose) {
  TForm1& f = Composing();
  f.SaveDraft();
  f.KeepDraft = true;
  f.ClearBtn.Click();
  EXPECT_FALSE(f.KeepDraft);
  EXPECT_TRUE(Exists(Draft("dft"))) << "Clear does not touch the files";
  f.Close();
  EXPECT_FALSE(Exists(Draft("dft")));
  NextStart(IDYES);
  EXPECT_FALSE(Offered());
}

TEST_F(DraftsTest, MemoEmptiedByHandAfterCtrlSKeepsTheLastSave) {
  TForm1& f = Composing();
  std::uint16_t key = 'D';
  f.FormKeyDown(&f.SendBtn, key, ssCtrl);
  f.MessageText.Lines.Clear();
  f.Close();
  TForm1& g = NextStart(IDYES);
  EXPECT_EQ(g.MessageText.Lines.Count(), 3);
}

TEST_F(DraftsTest, ScriptingModeNeitherOffersSavesNorDeletes) {
  TForm1& f = Composing();
  f.SaveDraft();
  const std::string saved = ReadFile(Draft("dft"));

  TForm1& g = Start();
  g.Scripting = true;
  g.Show();
  EXPECT_FALSE(Offered());
  g.MessageText.Lines = TStringList{"scripted"};
  g.SaveDraft();
  g.SaveDraftTimer.OnTimer(&g.SaveDraftTimer);
  g.KeepDraft = false;
  g.Close();
  EXPECT_EQ(ReadFile(Draft("dft")), saved);
}

TEST_F(DraftsTest, DraftFolderThatCannotBeMadeFailsTheSaveWithAClearError) {
  TForm1& f = Composing();
  WriteFile(folder.File("plain-file"), "x");
  f.DraftDir = folder.File("plain-file") + "/drafts";
  try {
    f.SaveDraft();
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("draft folder"), std::string::npos) << e.what();
  }
}

TEST_F(DraftsTest, OldTemporariesOfAKilledSaveAreRemovedAtTheNextStart) {
  const std::string dir = folder.File("state") + "/tarvik";
  std::filesystem::create_directories(dir);
  WriteFile(dir + "/tarvik2.dft.Ab3dE9", "half a draft");
  WriteFile(dir + "/tarvik2.dfh.fresh1", "a save under way");
  WriteFile(dir + "/tarvik2.keep.me", "not ours");
  const timespec old[2] = {{std::time(nullptr) - 3600, 0}, {std::time(nullptr) - 3600, 0}};
  ::utimensat(AT_FDCWD, (dir + "/tarvik2.dft.Ab3dE9").c_str(), old, 0);
  ::utimensat(AT_FDCWD, (dir + "/tarvik2.keep.me").c_str(), old, 0);
  NextStart(IDYES);
  EXPECT_FALSE(Exists(dir + "/tarvik2.dft.Ab3dE9"));
  EXPECT_TRUE(Exists(dir + "/tarvik2.dfh.fresh1"));
  EXPECT_TRUE(Exists(dir + "/tarvik2.keep.me"));
}

TEST_F(DraftsTest, ProcessKilledWhileSavingLeavesAWholeDraft) {
  // The previous draft: a small message. The process then saves a large one again and again
  // and is killed in the middle; the draft must be the old one or the new one, never a part.
  TForm1& f = Composing();
  f.SaveDraft();
  const std::string oldText = ReadFile(Draft("dft"));
  const std::string oldHeader = ReadFile(Draft("dfh"));
  std::string line(1000, 'n');
  TStringList big;
  for (int i = 0; i < 20000; ++i) big.Add(line);
  const std::string newText = big.Text();

  for (int round = 0; round < 3; ++round) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(ready[0]);
      f.MessageText.Lines = big;
      f.subject.Text = "new";
      char byte = 1;
      if (::write(ready[1], &byte, 1) != 1) ::_exit(2);
      for (;;) f.SaveDraft();
    }
    ::close(ready[1]);
    char byte;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    // Kill once a save of the large text is under way: its temporary file has appeared.
    // A time bound, not a count of spins: a busy machine may not run the child for a while.
    const int before = Temporaries();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (Temporaries() == before && std::chrono::steady_clock::now() < deadline) ::sched_yield();
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);

    const std::string text = ReadFile(Draft("dft"));
    EXPECT_TRUE(text == oldText || text == newText) << "draft text of " << text.size() << " bytes";
    const std::string header = ReadFile(Draft("dfh"));
    EXPECT_TRUE(header == oldHeader || header.find("\r\nnew\r\n") != std::string::npos);
  }
  // The kills did land inside saves: their unfinished temporary files are still there.
  EXPECT_GE(Temporaries(), 3);
}

}  // namespace
