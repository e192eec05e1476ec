// Helpers of the real-server tests: test files made and compared by checksum,
// the texts a channel can report, listing lines, and the active-mode ports
// each test process keeps to itself.
#pragma once

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <fstream>
#include <string>
#include <vector>

#include "interop_env.h"
#include "zub32.h"

namespace interop {

constexpr int64_t KiB = 1024;
constexpr int64_t MiB = 1024 * 1024;

// FNV-1a over 64-bit words: the same function checks both ends of a
// transfer, fast enough for files of 64 MiB.  Bytes are gathered into words
// across calls, so how the data is cut into pieces does not matter.
struct Checksum {
  uint64_t value = 1469598103934665603ull;
  uint64_t pending = 0;
  int shift = 0;
  void add(const char* data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      pending |= static_cast<uint64_t>(static_cast<unsigned char>(data[i])) << shift;
      shift += 8;
      if (shift == 64) mix();
    }
  }
  void mix() {
    value ^= pending;
    value *= 1099511628211ull;
    value ^= value >> 29;
    pending = 0;
    shift = 0;
  }
  uint64_t finish() {
    if (shift != 0) mix();
    return value;
  }
};

struct FileSum {
  bool exists = false;
  int64_t size = -1;
  uint64_t sum = 0;
  bool operator==(const FileSum& o) const { return exists == o.exists && size == o.size && sum == o.sum; }
};

inline std::ostream& operator<<(std::ostream& os, const FileSum& f) {
  if (!f.exists) return os << "(missing)";
  return os << f.size << " bytes, sum " << std::hex << f.sum << std::dec;
}

// Writes `size` pseudo-random bytes (a different stream for each seed) and
// returns their checksum.
inline FileSum makeFile(const std::string& path, int64_t size, uint64_t seed) {
  FileSum out;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return out;
  Checksum sum;
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull;
  std::vector<char> block(64 * KiB);
  int64_t left = size;
  while (left > 0) {
    size_t n = static_cast<size_t>(left < static_cast<int64_t>(block.size()) ? left : block.size());
    for (size_t i = 0; i < n; i += 8) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      for (size_t k = 0; k < 8 && i + k < n; ++k) block[i + k] = static_cast<char>(x >> (8 * k));
    }
    sum.add(block.data(), n);
    if (std::fwrite(block.data(), 1, n, f) != n) {
      std::fclose(f);
      return out;
    }
    left -= static_cast<int64_t>(n);
  }
  if (std::fclose(f) != 0) return out;
  out.exists = true;
  out.size = size;
  out.sum = sum.finish();
  return out;
}

inline FileSum sumFile(const std::string& path) {
  FileSum out;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  Checksum sum;
  std::vector<char> block(256 * KiB);
  int64_t size = 0;
  size_t n;
  while ((n = std::fread(block.data(), 1, block.size(), f)) > 0) {
    sum.add(block.data(), n);
    size += static_cast<int64_t>(n);
  }
  std::fclose(f);
  out.exists = true;
  out.size = size;
  out.sum = sum.finish();
  return out;
}

// Copies the first `count` bytes of one file into another.
inline bool copyPrefix(const std::string& from, const std::string& to, int64_t count) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  std::vector<char> buf(static_cast<size_t>(count));
  if (!in.read(buf.data(), count)) return false;
  return static_cast<bool>(out.write(buf.data(), count));
}

inline int64_t fileSize(const std::string& path) {
  struct stat st{};
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

inline bool isDirectory(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// What zubErrorText says of a code on a channel.
inline std::string errorText(int32_t channel, int32_t code) {
  char buf[512];
  int32_t n = zubErrorText(channel, code, buf, sizeof buf);
  return n >= 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("(zubErrorText ") + std::to_string(n) + ")";
}

// The server's last reply line, without its line end.
inline std::string lastReply(int32_t channel) {
  char buf[4097] = {};
  zubGetString(channel, ZUB_STR_LAST_REPLY, buf, 4096);
  std::string s(buf);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

inline int32_t replyCode(int32_t channel) { return zubGetInteger(channel, ZUB_GET_REPLY_CODE); }

// The channel's server directory as PWD reports it ("" on failure).
inline std::string serverDir(int32_t channel, int32_t* result = nullptr) {
  char buf[257] = {};
  int32_t n = zubGetServerDir(channel, buf, 256);
  if (result != nullptr) *result = n;
  return n >= 0 ? std::string(buf) : std::string();
}

// Every line of `listing` that matches `pattern` exactly (zubMatchFile walk).
inline std::vector<std::string> matchingLines(const std::string& listing, const std::string& pattern) {
  std::vector<std::string> lines;
  char out[1024];
  int32_t at = 0;
  for (int guard = 0; guard < 100000; ++guard) {
    int32_t next = zubMatchFile(listing.c_str(), at, out, sizeof out, pattern.c_str(), 1);
    if (next == 0) break;
    lines.emplace_back(out);
    at = next;
  }
  return lines;
}

// The last lines of a text file, for a failure message.
inline std::string tailOf(const std::string& path, size_t count) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "(no file " + path + ")";
  std::deque<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    lines.push_back(line);
    if (lines.size() > count) lines.pop_front();
  }
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text;
}

// Active-mode ports: the channel's own range depends on the tick of its
// attach, so test processes running side by side could pick the same one.
// Each test sets its channels' next port to a block of its own below that
// range (the ports count up from there, one per transfer).  A build tree
// whose servers are shifted (ZUB_INTEROP_PORT_OFFSET, in thousands) gets
// blocks of its own too, so two trees can run at once.
constexpr int32_t PORT_BLOCK = 24;
// Blocks 0-127; in use: matrix 0-15, faults 16-19, concurrency 20-83,
// transfer_interop 84-87, tls 102-125.  Three trees fit below the library's own ranges.
constexpr int32_t PORT_BLOCKS = 128;
inline int32_t activePortBase(int32_t block) {
  InteropServer vsftpd = loadInteropServer("vsftpd");
  int32_t tree = vsftpd.available && vsftpd.port > 2201 ? ((vsftpd.port - 2201) / 1000) % 3 : 0;
  return 6000 + tree * PORT_BLOCKS * PORT_BLOCK + block * PORT_BLOCK;
}

}  // namespace interop
