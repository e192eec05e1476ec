// A server that ends the control connection instead of replying: no command
// may pass for done then, above all a transfer whose closing reply never came
// (a real server stopped mid-download ends both connections and the data
// looked complete).  Only QUIT may end that way.
#include "session_fixture.h"
#include "support/test_util.h"

namespace zubtest {
namespace {

TEST_F(SessionTest, DownloadWithoutClosingReplyFails) {
  ScriptServer srv;
  loginTo(srv);
  srv.openData(DataMode::Passive);
  srv.expect("RETR a.bin\r\n");
  srv.connectData(DataMode::Passive);
  srv.send("150 Sending.\r\n");
  srv.dataSend(std::string(3000, 'x'));
  srv.dataClose();
  srv.closeControl();
  TempDir dir;
  ASSERT_EQ(zubSetLocalDir(0, dir.path().c_str()), 0);
  zubSetInteger(0, ZUB_SET_PASSIVE, 1);
  EXPECT_EQ(zubGetFile(0, "a.bin"), ZUB_E_SOCKET_CLOSED);
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_BYTES), 3000);
  EXPECT_TRUE(srv.waitDone());
}

TEST_F(SessionTest, CommandWithoutReplyFailsAndQuitWithoutReplyEnds) {
  ScriptServer srv;
  loginTo(srv);
  srv.expect("DELE a.bin\r\n");
  srv.closeControl();
  srv.greet();
  srv.login("anna", "secret");
  srv.expect("QUIT\r\n");
  srv.closeControl();
  EXPECT_EQ(zubDelFile(0, "a.bin"), ZUB_E_SOCKET_CLOSED);
  // QUIT on the connection the server has ended: the session is over, as asked.
  EXPECT_EQ(zubClose(0), 0);
  ASSERT_EQ(zubConnect(0, "127.0.0.1", "anna", "secret"), 0);
  EXPECT_EQ(zubClose(0), 0);
  EXPECT_TRUE(srv.waitDone());
}

// The end of the connection fails the step with the socket code -1 and the
// read error -20 in the log, in the greeting state as in every reply step;
// a QUIT answered by a close, even after part of a reply, still ends well.
TEST_F(SessionTest, ConnectionEndedInsteadOfAReply) {
  ScriptServer srv;
  srv.closeControl();  // accepted, then dropped without a greeting
  srv.greet();
  srv.closeControl();  // greeted, then dropped before the reply to USER
  srv.greet();
  srv.login("anna", "secret");
  srv.expect("QUIT\r\n");
  srv.send("221-Goodbye.\r\n");
  srv.closeControl();
  ASSERT_TRUE(srv.start());
  useServer(srv);
  openLog();

  EXPECT_EQ(zubConnect(0, "127.0.0.1", "anna", "secret"), ZUB_E_SOCKET_CLOSED);
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_LAST_ERROR), ZUB_E_SOCKET_CLOSED);
  std::string log = normalisedLog();
  // (How many receives see the end depends on when it arrives.)
  EXPECT_NE(log.find("ZUB is connected.\r\nrecv(S):0\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("): SockCode=-1 zubCode=-20 PrevState=102 ThisState=103 NextState=103\r\n"
                     "Socket read error.Socket has been closed."),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("<104:"), std::string::npos) << log;
  EXPECT_EQ(zubDriver(0), 0);

  EXPECT_EQ(zubConnect(0, "127.0.0.1", "anna", "secret"), ZUB_E_SOCKET_CLOSED);
  log = normalisedLog();
  EXPECT_NE(log.find("SockCode=-1 zubCode=-20 PrevState=104 ThisState=105 NextState=105\r\n"), std::string::npos)
      << log;
  EXPECT_EQ(log.find("S: PASS"), std::string::npos) << log;

  ASSERT_EQ(zubConnect(0, "127.0.0.1", "anna", "secret"), 0);
  EXPECT_EQ(zubClose(0), 0);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty());
}

}  // namespace
}  // namespace zubtest
