#pragma once

// Shared by the two dialog-helper protocol targets: turns a fuzz input into
// the byte stream one side of the socket reads, feeds it through
// protocol::LineBuffer in chunks as recv() would hand them over, and checks
// the buffer against a plain model of what it promises (complete lines in
// order, none longer than the limit, each overlong line counted once).
//
// Input: byte 0 picks the chunk size, the rest is the stream. Each byte 0x01
// in the stream stands for 16 KiB of 'x', so that short inputs reach lines
// past kMaxLineLength.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "UI/HelperProtocol.h"

namespace cw::fuzz {

inline constexpr std::size_t kStretch = 16 * 1024;

[[noreturn]] inline void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "protocol oracle: %s\n  [%.*s]\n", what,
               static_cast<int>(std::min<std::size_t>(detail.size(), 400)), detail.data());
  std::abort();
}

struct LineStream {
  std::string bytes;
  std::size_t chunk = 1;
};

inline LineStream lineStreamFrom(const std::uint8_t* data, std::size_t size) {
  LineStream stream;
  if (size == 0) return stream;
  // 1 to 16 KiB, the size of the readers' recv buffer, in uneven steps.
  static constexpr std::size_t kChunks[] = {1, 2, 3, 7, 64, 511, 4096, 16 * 1024};
  stream.chunk = kChunks[data[0] % (sizeof kChunks / sizeof kChunks[0])];
  for (std::size_t i = 1; i < size; ++i) {
    if (data[i] == 0x01)
      stream.bytes.append(kStretch, 'x');
    else
      stream.bytes.push_back(static_cast<char>(data[i]));
  }
  // Byte-sized helpings of a stretched stream only cost time: at most 128 of them.
  stream.chunk = std::max(stream.chunk, stream.bytes.size() / 128);
  return stream;
}

// Feeds the stream through a LineBuffer and hands every line it yields to
// `onLine`, checking the buffer against the model on the way.
template <typename OnLine>
void readLines(const LineStream& stream, OnLine&& onLine) {
  // The model: complete lines, split at '\n'; the overlong ones dropped and counted.
  std::vector<std::string_view> expected;
  std::size_t expectedOverlong = 0;
  std::string_view rest(stream.bytes);
  for (std::size_t newline; (newline = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(newline + 1)) {
    const std::string_view line = rest.substr(0, newline);
    if (line.size() > ui::protocol::kMaxLineLength)
      ++expectedOverlong;
    else
      expected.push_back(line);
  }
  // An unfinished line already past the limit is dropped (and counted) early.
  if (rest.size() > ui::protocol::kMaxLineLength) ++expectedOverlong;

  ui::protocol::LineBuffer buffer;
  std::size_t next = 0;
  for (std::size_t at = 0; at < stream.bytes.size(); at += stream.chunk) {
    buffer.append(std::string_view(stream.bytes).substr(at, stream.chunk));
    while (const std::optional<std::string> line = buffer.nextLine()) {
      if (line->size() > ui::protocol::kMaxLineLength) fail("a line beyond the limit came out", *line);
      if (line->find('\n') != std::string::npos) fail("a line holds a line break", *line);
      if (next >= expected.size()) fail("more lines came out than went in", *line);
      if (*line != expected[next]) fail("a line came out altered or out of order", *line);
      ++next;
      onLine(*line);
    }
  }
  if (next != expected.size()) fail("a complete line was lost", next < expected.size() ? expected[next] : "");
  if (buffer.overlongLines() != expectedOverlong) fail("overlong lines miscounted");
}

// The encoder's promise: one message, one line, newline last.
inline void checkOneLine(const std::string& encoded) {
  if (encoded.empty() || encoded.back() != '\n' || encoded.find('\n') != encoded.size() - 1)
    fail("an encoded message is not exactly one line", encoded);
}

}  // namespace cw::fuzz
