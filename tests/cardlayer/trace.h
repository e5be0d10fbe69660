// Parsing of the simulator's trace lines:
//   "<seq> APDU cmd=HEX rsp=HEX [pcmd=HEX] [prsp=HEX] [fault=...]"
// pcmd/prsp are the deciphered forms under the channel; secret data shows
// as '*'.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace clt {

struct TraceApdu {
  std::string cmd, rsp, pcmd, prsp, note;
  // The command as the card understood it (pcmd under the channel, else
  // cmd), with the secure-messaging bit 04 of CLA cleared so that the same
  // command reads the same in plain and under the channel.
  std::string plain() const {
    std::string s = pcmd.empty() ? cmd : pcmd;
    if (s.size() >= 2) {
      unsigned cla = static_cast<unsigned>(std::stoul(s.substr(0, 2), nullptr, 16)) & ~0x04u;
      static const char* d = "0123456789ABCDEF";
      s[0] = d[cla >> 4];
      s[1] = d[cla & 15];
    }
    return s;
  }
};

inline bool parse_trace_line(const std::string& line, TraceApdu* out) {
  std::istringstream in(line);
  std::string seq, kind, word;
  if (!(in >> seq >> kind) || kind != "APDU") return false;
  TraceApdu a;
  while (in >> word) {
    auto eq = word.find('=');
    if (eq == std::string::npos) continue;
    std::string k = word.substr(0, eq), v = word.substr(eq + 1);
    if (k == "cmd") a.cmd = v;
    else if (k == "rsp") a.rsp = v;
    else if (k == "pcmd") a.pcmd = v;
    else if (k == "prsp") a.prsp = v;
    else a.note += word + " ";
  }
  *out = a;
  return true;
}

inline std::vector<TraceApdu> parse_trace(const std::vector<std::string>& lines) {
  std::vector<TraceApdu> out;
  for (const auto& l : lines) {
    TraceApdu a;
    if (parse_trace_line(l, &a)) out.push_back(a);
  }
  return out;
}

inline std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream f(path);
  std::string l;
  while (std::getline(f, l)) lines.push_back(l);
  return lines;
}

// The plain commands of a trace, as hex.
inline std::vector<std::string> plain_commands(const std::vector<TraceApdu>& t) {
  std::vector<std::string> out;
  for (const auto& a : t) out.push_back(a.plain());
  return out;
}

}  // namespace clt
