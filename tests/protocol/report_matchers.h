// Byte-level helpers for protocol tests: building expected reports from hex
// text, and comparing whole reports so that a mismatch shows both buffers.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hid/hid.h"

namespace korrin::testing {

using Bytes = std::vector<std::uint8_t>;

// "01 7F a5" -> {0x01, 0x7F, 0xA5}. Bad text fails the calling test.
inline Bytes Hex(std::string_view text) {
  Bytes out;
  std::istringstream in{std::string(text)};
  std::string token;
  while (in >> token) {
    unsigned value = 0;
    char extra = 0;
    if (token.size() > 2 || std::sscanf(token.c_str(), "%2x%c", &value, &extra) != 1) {
      ADD_FAILURE() << "bad hex byte '" << token << "' in \"" << text << "\"";
      return out;
    }
    out.push_back(static_cast<std::uint8_t>(value));
  }
  return out;
}

inline Bytes Repeat(std::uint8_t value, std::size_t count) { return Bytes(count, value); }

inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A whole report: `head` from offset 0, zeros after it.
inline Bytes FullReport(const Bytes& head) {
  Bytes report(hid::kReportSize, 0);
  std::copy_n(head.begin(), std::min(head.size(), report.size()), report.begin());
  return report;
}

inline std::string HexDump(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t to) {
  std::string out;
  char cell[4];
  for (std::size_t i = from; i < to && i < bytes.size(); ++i) {
    std::snprintf(cell, sizeof cell, "%02X", bytes[i]);
    if (i != from) out += ' ';
    out += cell;
  }
  return out;
}

// Equal length and contents; on a mismatch shows the first 16 bytes of both
// and both around the first differing offset.
inline ::testing::AssertionResult SameBytes(std::span<const std::uint8_t> expected,
                                            std::span<const std::uint8_t> actual) {
  const std::size_t common = std::min(expected.size(), actual.size());
  std::size_t at = 0;
  while (at < common && expected[at] == actual[at]) ++at;
  if (at == common && expected.size() == actual.size()) return ::testing::AssertionSuccess();
  const std::size_t from = at < 16 ? 0 : at - 16;
  const std::size_t to = at + 16;
  auto failure = ::testing::AssertionFailure();
  if (expected.size() != actual.size())
    failure << "sizes differ: expected " << expected.size() << " bytes, actual " << actual.size() << "\n";
  failure << "first difference at offset " << at << "\n"
          << "  expected [0,16): " << HexDump(expected, 0, 16) << "\n"
          << "  actual   [0,16): " << HexDump(actual, 0, 16) << "\n"
          << "  expected [" << from << "," << to << "): " << HexDump(expected, from, to) << "\n"
          << "  actual   [" << from << "," << to << "): " << HexDump(actual, from, to);
  return failure;
}

}  // namespace korrin::testing
