// Helpers for the tests that run through pcscd + vpcd + vorn-cardsim under
// tools/with-vornenv: reader connections, the simulator's trace file and
// fault file of each reader.
#pragma once

#include <winscard.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "cardlayer.h"
#include "trace.h"

namespace clt {

inline std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v == nullptr ? std::string() : std::string(v);
}

inline std::string reader_name(int i) { return env(("VORNENV_READER_" + std::to_string(i)).c_str()); }
inline std::string stack_file(int i, const char* ext) {
  return env("VORNENV_DIR") + "/reader" + std::to_string(i) + "." + ext;
}

// Lines of reader i's trace from line `from` on.
inline std::vector<TraceApdu> trace_since(int i, std::size_t from) {
  auto lines = read_lines(stack_file(i, "trace"));
  if (from > lines.size()) from = lines.size();
  return parse_trace(std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end()));
}
inline std::size_t trace_mark(int i) { return read_lines(stack_file(i, "trace")).size(); }

// Replaces reader i's fault file at once (write and rename).
inline void set_faults(int i, const std::string& text) {
  std::string path = stack_file(i, "faults");
  std::string tmp = path + ".new";
  {
    std::ofstream f(tmp, std::ios::trunc);
    f << text;
  }
  std::rename(tmp.c_str(), path.c_str());
}

// A connection to the card in reader i, inside a transaction.
class Conn {
 public:
  explicit Conn(int i, bool transaction = true) : name_(reader_name(i)), in_tx_(transaction) {
    rv_ = static_cast<vorn_rv>(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx_));
    if (rv_ != VORN_OK) return;
    // Wait (bounded) until the reader shows a card.
    SCARD_READERSTATE st{};
    st.szReader = name_.c_str();
    st.dwCurrentState = SCARD_STATE_UNAWARE;
    for (int k = 0; k < 100; ++k) {
      if (SCardGetStatusChange(ctx_, 100, &st, 1) == SCARD_S_SUCCESS &&
          (st.dwEventState & SCARD_STATE_PRESENT) != 0) {
        break;
      }
      st.dwCurrentState = st.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
    }
    rv_ = card_connect(ctx_, name_.c_str(), &h_);
    if (rv_ == VORN_OK && in_tx_) rv_ = card_begin(h_);
  }
  ~Conn() {
    if (h_ != 0) {
      if (in_tx_) card_end(h_);
      SCardDisconnect(h_, SCARD_LEAVE_CARD);
    }
    if (ctx_ != 0) SCardReleaseContext(ctx_);
  }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;
  vorn_rv rv() const { return rv_; }
  SCARDHANDLE h() const { return h_; }
  SCARDCONTEXT ctx() const { return ctx_; }

 private:
  std::string name_;
  SCARDCONTEXT ctx_ = 0;
  SCARDHANDLE h_ = 0;
  vorn_rv rv_ = CARDERR_UNKNOWN;
  bool in_tx_ = true;
};

}  // namespace clt
