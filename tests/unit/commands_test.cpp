// Server directory and command operations against the scripted server:
// CWD, PWD and its directory texts, DELE, MKD, RMD, TYPE and the caller's
// own command lines.
#include <cstring>
#include <string>

#include "api/operation.h"
#include "session_fixture.h"

namespace zubtest {
namespace {

class CommandsTest : public SessionTest {
 protected:
  // PWD answered with `reply`; the directory it yields (or the error).
  std::string pwd(ScriptServer& srv, const std::string& reply, int32_t* result) {
    srv.expect("PWD\r\n");
    srv.send(reply);
    char buf[300];
    std::memset(buf, 0, sizeof buf);
    *result = zubGetServerDir(0, buf, 299);
    return buf;
  }
};

TEST_F(CommandsTest, ChangeAndAskTheServerDirectory) {
  ScriptServer srv;
  loginTo(srv);
  openLog();
  srv.expect("CWD /pub\r\n");
  srv.send("250 Okay.\r\n");
  EXPECT_EQ(zubSetServerDir(0, "/pub"), 0);
  EXPECT_STREQ(rec_->serverDir, "/pub");
  EXPECT_EQ(normalisedLog(),
            "*** zubSetServerDir\r\n"
            "<501:T>\r\n"
            "send(S):10\r\n"
            "S: CWD /pub\r\n\r\n"
            "<502:T>\r\n"
            "recv(S):11\r\n"
            "Server directory is '/pub'\r\n"
            "R: 250 Okay.\r\n");

  int32_t r = 0;
  EXPECT_EQ(pwd(srv, "257 \"/pub/data\" is the current directory.\r\n", &r), "/pub/data");
  EXPECT_EQ(r, 9);
  EXPECT_NE(readLog().find("Server directory is '/pub/data'\r\n"), std::string::npos);
  EXPECT_EQ(pwd(srv, "257 \"/\"\r\n", &r), "/");
  EXPECT_EQ(r, 1);
  // Unquoted: the first character after the separator is skipped all the same.
  EXPECT_EQ(pwd(srv, "257 /home\r\n", &r), "home");
  EXPECT_EQ(r, 4);
  EXPECT_EQ(pwd(srv, "257 \"C:\\dir\"\r\n", &r), "C:\\dir");
  EXPECT_EQ(r, 6);
  // A code with no text leaves no directory (not a stray line end).
  EXPECT_EQ(pwd(srv, "257 \r\n", &r), "");
  EXPECT_EQ(r, 0);
  std::string longDir(300, 'd');
  EXPECT_EQ(pwd(srv, "257 \"/" + longDir + "\"\r\n", &r), "/" + longDir.substr(0, 254));
  EXPECT_EQ(r, 255);

  // A small buffer gets the start of the name; the result is its full length.
  srv.expect("PWD\r\n");
  srv.send("257 \"/pub/data1\"\r\n");
  char small[8];
  std::memset(small, '#', sizeof small);
  EXPECT_EQ(zubGetServerDir(0, small, 4), 10);
  EXPECT_EQ(std::string(small, 5), std::string("/pub\0", 5));
  EXPECT_EQ(small[5], '#');
  srv.expect("PWD\r\n");
  srv.send("257 \"/x\"\r\n");
  EXPECT_EQ(zubGetServerDir(0, nullptr, 100), 2);

  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty());
}

TEST_F(CommandsTest, RefusalsEndWithServerErrorAndTheReplyLine) {
  ScriptServer srv;
  loginTo(srv);
  srv.expect("CWD /nowhere\r\n");
  srv.send("550 No such directory.\r\n");
  EXPECT_EQ(zubSetServerDir(0, "/nowhere"), ZUB_E_SERVER_ERROR);
  EXPECT_EQ(errorText(ZUB_E_SERVER_ERROR), "FTP server returned error. 550 No such directory.\r\n");
  EXPECT_STREQ(rec_->serverDir, "/nowhere");
  char last[300];
  zubGetString(0, ZUB_STR_LAST_REPLY, last, 299);
  EXPECT_STREQ(last, "550 No such directory.\r\n");
  EXPECT_EQ(zubDriver(0), 0);  // idle

  srv.expect("PWD\r\n");
  srv.send("550 Cannot tell.\r\n");
  char buf[16] = "untouched";
  EXPECT_EQ(zubGetServerDir(0, buf, 15), ZUB_E_SERVER_ERROR);
  EXPECT_STREQ(buf, "untouched");

  srv.expect("DELE gone.txt\r\n");
  srv.send("550 No such file.\r\n");
  EXPECT_EQ(zubDelFile(0, "gone.txt"), ZUB_E_SERVER_ERROR);
  EXPECT_EQ(rec_->nextState, 0);

  srv.expect("MKD new\r\n");
  srv.send("257 \"/new\" created.\r\n");
  EXPECT_EQ(zubMakeServerDir(0, "new"), 0);
  srv.expect("RMD new\r\n");
  srv.send("250 Removed.\r\n");
  openLog();
  EXPECT_EQ(zubDelServerDir(0, "new"), 0);
  EXPECT_EQ(readLog().rfind("*** zubRemoveServerDir\r\n", 0), 0u);
  srv.expect("DELE a b.txt\r\n");
  srv.send("250 Deleted.\r\n");
  EXPECT_EQ(zubDelFile(0, "a b.txt\r\nQUIT"), 0);  // cut at the CR

  // The transfer type, as armed by the mode operation.
  srv.expect("TYPE I\r\n");
  srv.send("200 Binary.\r\n");
  rec_->binaryMode = 1;
  EXPECT_EQ(armAndRun(rec_, ST_sendType, true), 0);
  srv.expect("TYPE A\r\n");
  srv.send("200 Ascii.\r\n");
  rec_->binaryMode = 0;
  EXPECT_EQ(armAndRun(rec_, ST_sendType, true), 0);

  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty());
}

TEST_F(CommandsTest, CallerCommandsAlwaysEndInCrLf) {
  ScriptServer srv;
  loginTo(srv);
  for (size_t len : {252u, 253u, 254u, 255u}) {
    SCOPED_TRACE(len);
    std::string text = "SITE " + std::string(len - 5, 'x');
    srv.expect(text + "\r\n");
    srv.send("200 Ok.\r\n");
    EXPECT_EQ(zubCommand(0, text.c_str()), 0);
  }
  // Longer texts are cut to 255 characters.
  std::string longText = "SITE " + std::string(400, 'y');
  srv.expect(longText.substr(0, 255) + "\r\n");
  srv.send("200 Ok.\r\n");
  EXPECT_EQ(zubCommand(0, longText.c_str()), 0);

  // Only the part before a CR is sent.
  openLog();
  srv.expect("SYST\r\n");
  srv.send("215 UNIX Type: L8\r\n");
  EXPECT_EQ(zubCommand(0, "SYST\r\nQUIT"), 0);
  EXPECT_EQ(normalisedLog(),
            "*** zubCommand\r\n"
            "<750:T>\r\n"
            "'SYST'\r\n"
            "send(S):6\r\n"
            "S: SYST\r\n\r\n"
            "<751:T>\r\n"
            "recv(S):19\r\n"
            "R: 215 UNIX Type: L8\r\n");
  char last[300];
  zubGetString(0, ZUB_STR_LAST_REPLY, last, 299);
  EXPECT_STREQ(last, "215 UNIX Type: L8\r\n");

  srv.expect("XYZZY\r\n");
  srv.send("500 Unknown command.\r\n");
  EXPECT_EQ(zubCommand(0, "XYZZY"), ZUB_E_SERVER_ERROR);
  EXPECT_EQ(errorText(ZUB_E_SERVER_ERROR), "FTP server returned error. 500 Unknown command.\r\n");

  // A multi-line reply is read to its last line.
  srv.expect("HELP\r\n");
  srv.send("214-Commands:\r\n USER PASS\r\n214 End.\r\n");
  EXPECT_EQ(zubCommand(0, "HELP"), 0);
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_REPLY_CODE), 214);

  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty());
}

TEST_F(CommandsTest, CallerDrivenCommandsReturnAtOnce) {
  ScriptServer srv;
  loginTo(srv);
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
  char buf[16] = "untouched";
  EXPECT_EQ(zubGetServerDir(0, buf, 15), 0);
  EXPECT_STREQ(buf, "untouched");
  EXPECT_EQ(rec_->nextState, 521);
  EXPECT_EQ(zubSetServerDir(0, "/a"), 0);
  EXPECT_EQ(rec_->nextState, 501);  // arming replaces the pending chain
  platSleep(50);
  EXPECT_EQ(srv.transcript(), "USER anna\r\nPASS secret\r\n");

  srv.expect("CWD /a\r\n");
  srv.send("250 Okay.\r\n");
  int32_t r = 0;
  for (int i = 0; i < 100000; i++) {
    r = zubDriver(0);
    if (r <= 0) break;
    EXPECT_TRUE(r == 502 || r == ZUB_BUSY) << r;
  }
  EXPECT_EQ(r, 0);
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 1);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty());
}

TEST_F(CommandsTest, NullTextsAreRefusedAndTouchNothing) {
  ScriptServer srv;
  loginTo(srv);
  std::strcpy(rec_->serverDir, "/kept");
  std::strcpy(rec_->remoteName, "kept.txt");
  std::strcpy(rec_->userCmd, "NOOP");
  openLog();
  EXPECT_EQ(zubSetServerDir(0, nullptr), ZUB_E_NULL_ARGUMENT);
  EXPECT_EQ(zubDelFile(0, nullptr), ZUB_E_NULL_ARGUMENT);
  EXPECT_EQ(zubMakeServerDir(0, nullptr), ZUB_E_NULL_ARGUMENT);
  EXPECT_EQ(zubDelServerDir(0, nullptr), ZUB_E_NULL_ARGUMENT);
  EXPECT_EQ(zubCommand(0, nullptr), ZUB_E_NULL_ARGUMENT);
  EXPECT_EQ(readLog(),
            "*** zubSetServerDir\r\n*** zubDelFile\r\n*** zubMakeServerDir\r\n"
            "*** zubRemoveServerDir\r\n*** zubCommand\r\n");
  EXPECT_STREQ(rec_->serverDir, "/kept");
  EXPECT_STREQ(rec_->remoteName, "kept.txt");
  EXPECT_STREQ(rec_->userCmd, "NOOP");
  EXPECT_EQ(rec_->nextState, 0);
  platSleep(50);
  EXPECT_EQ(srv.transcript(), "USER anna\r\nPASS secret\r\n");
  EXPECT_TRUE(srv.errors().empty());

  EXPECT_EQ(zubCommand(2, "NOOP"), ZUB_E_CHANNEL_RANGE);
  EXPECT_EQ(zubGetServerDir(2, nullptr, 0), ZUB_E_CHANNEL_RANGE);
}

}  // namespace
}  // namespace zubtest
