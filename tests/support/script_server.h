// An in-process FTP server for the protocol tests: it listens on 127.0.0.1,
// plays a script of replies, splits, delays and drops on its own thread, and
// records every byte the client sends.
//
// A test queues actions (they run in order, one connection at a time), runs
// the client, then waits for the script and checks what was recorded:
//
//   ScriptServer srv;
//   srv.greet();
//   srv.login("anna", "secret");
//   srv.serveRetr(DataMode::Passive, "a.txt", "hello");
//   ASSERT_TRUE(srv.start());
//   ... client connects to 127.0.0.1:srv.port() and downloads a.txt ...
//   EXPECT_TRUE(srv.waitDone());
//   EXPECT_TRUE(srv.errors().empty());
//   EXPECT_EQ(srv.commands()[2], "PASV");
//
// Every wait of the server thread ends at its time-out or at stop(); a script
// violation (unexpected line, time-out, failed send) is recorded in errors(),
// closes the connections and skips the rest of the script.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zubtest {

enum class DataMode { Passive, Active };

class ScriptServer {
 public:
  static constexpr int kDefaultTimeoutMs = 5000;

  ScriptServer();
  ~ScriptServer();  // stop()
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  // ---- Lifecycle ----
  // Binds 127.0.0.1 on an ephemeral port and starts the server thread.
  // Actions may be queued before or after start, also while the script runs.
  bool start();
  uint16_t port() const;
  // Ends every wait, joins the threads, closes every socket. Idempotent.
  // Script actions left unrun (other than silence()) are recorded as errors.
  void stop();
  // Time-out of each wait of the actions queued after this call (default
  // kDefaultTimeoutMs). For data transfers it limits the time without progress.
  void setTimeout(int ms);

  // ---- Control connection. The first action that needs the connection
  // accepts it; after closeControl() or expectClose() the next one accepts a
  // new connection (reconnect tests). ----
  // Sends the bytes exactly as given (the test writes the CR LF).
  void send(const std::string& bytes);
  // Sends pieces of the given sizes (the rest as a last piece), pausing
  // delayMs between pieces; each piece is its own send with Nagle off.
  void sendSplit(const std::string& bytes, const std::vector<size_t>& sizes, int delayMs = 50);
  void sendChunks(const std::vector<std::string>& pieces, int delayMs = 50);
  // Waits for the next line from the client (up to and including LF) and
  // demands it equal `line` exactly (CR LF included).
  void expect(const std::string& line);
  // Next line must start with `prefix` (for PORT lines whose port varies).
  void expectPrefix(const std::string& prefix);
  // Takes the next line, whatever it is.
  void expectAny();
  // Waits for exactly these bytes, terminated or not (a command without CR LF).
  void expectBytes(const std::string& bytes);
  // Waits until the client closes the control connection, then closes it
  // too. Bytes sent meanwhile are recorded and not checked.
  void expectClose();
  // As expectClose() without a time-out: hold the connection and never
  // reply. Ends when the client closes or at stop() (not an error).
  void silence();
  void delay(int ms);
  // Closes the control connection (reset = abortive close, an RST). With no
  // connection open, accepts one first: "connect, then dropped".
  void closeControl(bool reset = false);

  // ---- Data connections ----
  // Opens a fresh listener on 127.0.0.1 now and returns its port; when the
  // action runs, sends `format` with {hostport} replaced by "127,0,0,1,p1,p2",
  // {p1}, {p2} by the port bytes and {port} by the port number.
  uint16_t pasvReply(const std::string& format = "227 Entering Passive Mode ({hostport}).\r\n");
  // Accepts the client's connection on the listener of the last pasvReply.
  void acceptPassiveData();
  // Connects to the address of the last PORT line taken by an expect action
  // (only 127.x.x.x addresses; anything else is a script error), from
  // another loopback address when `from` is given ("127.0.0.2").
  void portConnect(const std::string& from = "");
  void dataSend(const std::string& bytes);
  void dataSendChunks(const std::vector<std::string>& pieces, int delayMs = 50);
  // Reads the data connection until the client closes it; the bytes become a
  // new entry of dataReceived().
  void dataReceiveAll();
  void dataClose(bool reset = false);

  // ---- Common conversations, built from the actions above ----
  void greet(const std::string& line = "220 Script server ready.\r\n");
  // USER user -> 331, PASS pass -> 230.
  void login(const std::string& user, const std::string& pass);
  // Passive: PASV -> 227; active: PORT ... -> 200.
  void openData(DataMode mode);
  // Passive: accept the client's connection; active: connect to its PORT.
  void connectData(DataMode mode);
  // openData, RETR name, connect, 150, the bytes, close, 226.
  void serveRetr(DataMode mode, const std::string& name, const std::string& bytes);
  // openData, STOR name (APPE name when append), connect, 150, receive all
  // (into dataReceived()), close, 226.
  void acceptStor(DataMode mode, const std::string& name, bool append = false);
  // openData, the exact command line (e.g. "LIST\r\n", "NLST *.txt\r\n"),
  // connect, 150, the text, close, 226.
  void serveList(DataMode mode, const std::string& commandLine, const std::string& text);

  // ---- Auto mode: call before start(); no script, every connection (several
  // at once) gets a greeting and answers to USER PASS PWD XPWD CWD CDUP TYPE
  // NOOP MKD RMD DELE SYST QUIT PASV PORT REST RETR STOR APPE LIST NLST from an
  // in-memory tree; other commands get 502. Empty user accepts any login. ----
  void autoMode(const std::string& user = "", const std::string& pass = "");
  // Absolute paths ("/pub/a.txt"); missing parent directories are created.
  void putFile(const std::string& path, const std::string& bytes);
  void makeDir(const std::string& path);
  bool getFile(const std::string& path, std::string* bytes) const;
  bool hasDir(const std::string& path) const;
  // Replaces the answer to a command verb ("DELE") by a fixed reply line;
  // for a transfer verb no data connection is used.
  void autoReply(const std::string& verb, const std::string& reply);

  // ---- Inspection ----
  // Script mode: true once every queued action has run (or the script failed).
  // Auto mode: true once every accepted connection has ended.
  bool waitDone(int timeoutMs = kDefaultTimeoutMs);
  // Every byte the client sent on control connections, exact, in order;
  // includes bytes that have arrived but no action has read yet.
  std::string transcript() const;
  std::string transcript(size_t connection) const;
  // The transcript cut into lines at LF, each without its CR LF (or LF); an
  // unterminated tail is the last entry.
  std::vector<std::string> commands() const;
  size_t connections() const;
  std::vector<std::string> dataReceived() const;
  std::vector<std::string> errors() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zubtest
