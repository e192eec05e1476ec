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

}  // namespace
}  // namespace zubtest
