// The fault file: one fault per line (see docs/cardsim.md).
#include <charconv>

#include "internal.h"

namespace vorn::cardsim {
namespace {

bool parse_num(std::string_view s, int base, unsigned long max, unsigned long* out) {
  unsigned long v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v, base);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size() || v > max) return false;
  *out = v;
  return true;
}

}  // namespace

vorn_rv faults_parse(std::string_view text, std::vector<Fault>* out, std::string* err) {
  std::vector<Fault> faults;
  std::size_t pos = 0, lineno = 0;
  auto fail = [&](const std::string& m) {
    if (err) *err = "line " + std::to_string(lineno) + ": " + m;
    return CARDERR_BAD_ARG;
  };
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    std::string_view line = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    pos = nl == std::string_view::npos ? text.size() : nl + 1;
    ++lineno;
    std::vector<std::string_view> w;
    for (std::size_t i = 0; i < line.size();) {
      while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
      std::size_t j = i;
      while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
      if (j > i) w.push_back(line.substr(i, j - i));
      i = j;
    }
    if (w.empty() || w[0][0] == '#') continue;
    Fault f;
    // Optional trailing count "xN".
    if (w.size() >= 3 && w.back().size() >= 2 && w.back()[0] == 'x') {
      unsigned long n = 0;
      if (!parse_num(w.back().substr(1), 10, 1000000, &n) || n == 0) return fail("bad count");
      f.remaining = static_cast<int>(n);
      w.pop_back();
    }
    if (w.size() < 2) return fail("missing instruction");
    if (w[1] == "*") {
      f.ins = -1;
    } else {
      unsigned long ins = 0;
      if (w[1].size() != 2 || !parse_num(w[1], 16, 0xFF, &ins)) return fail("instruction must be 2 hex digits or *");
      f.ins = static_cast<int>(ins);
    }
    const auto& k = w[0];
    unsigned long v = 0;
    if (k == "sw") {
      if (w.size() != 3 || w[2].size() != 4 || !parse_num(w[2], 16, 0xFFFF, &v)) return fail("sw needs 4 hex digits");
      f.kind = FaultKind::kStatus;
      f.sw = static_cast<std::uint16_t>(v);
    } else if (k == "badmac") {
      if (w.size() != 2) return fail("badmac takes no value");
      f.kind = FaultKind::kBadMac;
    } else if (k == "truncate") {
      // At least one byte: an empty answer is not an APDU response and
      // would leave the reader waiting.
      if (w.size() != 3 || !parse_num(w[2], 10, 65535, &v) || v == 0)
        return fail("truncate needs a byte count of 1 or more");
      f.kind = FaultKind::kTruncate;
      f.length = static_cast<std::uint32_t>(v);
    } else if (k == "delay") {
      if (w.size() != 3 || !parse_num(w[2], 10, 600000, &v)) return fail("delay needs milliseconds (at most 600000)");
      f.kind = FaultKind::kDelay;
      f.delay_ms = static_cast<std::uint32_t>(v);
    } else if (k == "drop") {
      if (w.size() != 2) return fail("drop takes no value");
      f.kind = FaultKind::kDrop;
    } else if (k == "endless") {
      // The answer to INS never ends: every GET RESPONSE that fetches it
      // gets an empty piece (or one byte HH) and 61 00.
      if (w.size() == 3 && w[2] == "empty") {
        f.piece = -1;
      } else if (w.size() == 4 && w[2] == "byte" && w[3].size() == 2 && parse_num(w[3], 16, 0xFF, &v)) {
        f.piece = static_cast<int>(v);
      } else {
        return fail("endless needs 'empty' or 'byte HH'");
      }
      f.kind = FaultKind::kEndless;
    } else {
      return fail("unknown fault '" + std::string(k) + "'");
    }
    faults.push_back(f);
  }
  *out = std::move(faults);
  return VORN_OK;
}

}  // namespace vorn::cardsim
