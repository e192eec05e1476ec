// EPSV against the four real servers: the port from the 229 reply, the
// address of the control connection, PASV never sent.
#include <gtest/gtest.h>

#include <string>

#include "interop_env.h"
#include "interop_util.h"
#include "support/test_util.h"
#include "zub32.h"

namespace {

using namespace interop;

constexpr int32_t CH = 0;

size_t countOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(Epsv, ListingsOnEveryServer) {
  zubtest::TempDir local;
  std::string log = local.file("trace.log");
  ASSERT_EQ(zubAttach(1, 0), 1);
  for (const char* name : INTEROP_SERVERS) {
    SCOPED_TRACE(name);
    InteropServer s = loadInteropServer(name);
    ASSERT_TRUE(s.available) << s.problem;
    ASSERT_GT(zubSetString(CH, ZUB_STR_OPEN_LOG, log.c_str()), 0);
    zubSetInteger(CH, ZUB_SET_CTRL_PORT, s.port);
    zubSetInteger(CH, ZUB_SET_PASSIVE, 1);
    EXPECT_EQ(zubSetInteger(CH, ZUB_SET_EPSV, 1), 1);
    ASSERT_EQ(zubConnect(CH, s.host.c_str(), s.user.c_str(), s.pass.c_str()), 0) << lastReply(CH);
    std::string list(16 * KiB, '\0');
    for (int i = 0; i < 2; ++i) {
      EXPECT_GE(zubGetList(CH, ZUB_NLST, list.data(), static_cast<int32_t>(list.size())), 0) << lastReply(CH);
    }
    EXPECT_EQ(zubClose(CH), 0);
    std::string t = zubtest::readFile(log);
    EXPECT_EQ(countOf(t, "S: EPSV\r\n"), 2u) << t;
    EXPECT_EQ(countOf(t, "S: PASV"), 0u);
    EXPECT_EQ(countOf(t, "R: 229 "), 2u);
  }
  zubRelease();
}

}  // namespace
