// Card objects: the object map, listing, attribute lists and values.
#include <cstring>

#include "internal.h"
#include "vorn/secure.h"

using namespace cardlayer;

namespace {

inline constexpr DWORD kMapSize = 40;

vorn_rv read_map(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t* map) {
  DWORD len = kMapSize;
  vorn_rv rv = card_get_data(reader_key, handle, CARD_DATA_OBJ_MAP, map, &len);
  if (rv == CARDERR_BUFFER_TOO_SMALL) return CARDERR_UNKNOWN;
  if (rv != VORN_OK) return rv;
  return len == kMapSize ? VORN_OK : CARDERR_UNKNOWN;
}

// Object number of a handle (1..40), or 0.
std::uint8_t obj_number(std::uint32_t object) {
  const std::uint32_t n = object & 0xFF;
  return n >= 1 && n <= OBJ_MAX_NUMBER ? static_cast<std::uint8_t>(n) : 0;
}

vorn_rv check_object(std::uint32_t object) {
  if (obj_app(object) == CARD_APP_NONE || obj_number(object) == 0) return CARDERR_BAD_ARG;
  return VORN_OK;
}

std::uint16_t be16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// Sends data of any size as the pieces of an 84 48 write: P1 = piece index
// + 2, bit 7 on the last piece.
vorn_rv send_pieces(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t number,
                    const std::uint8_t* data, DWORD len) {
  const DWORD chunk = card_max_chunk(reader_key, handle, CARD_DIR_SEND);
  const DWORD pieces = (len + chunk - 1) / chunk;
  if (pieces > 0x7F - 2 + 1) return CARDERR_BAD_LENGTH;  // P1 runs out of numbers
  std::uint8_t cmd[5 + 255];
  vorn::WipeOnExit wipe(cmd, sizeof cmd);
  for (DWORD i = 0; i < pieces; ++i) {
    const DWORD off = i * chunk;
    const DWORD piece = len - off > chunk ? chunk : len - off;
    std::uint8_t p1 = static_cast<std::uint8_t>(i + 2);
    if (i + 1 == pieces) p1 |= 0x80;
    cmd[0] = 0x84;
    cmd[1] = 0x48;
    cmd[2] = p1;
    cmd[3] = number;
    cmd[4] = static_cast<std::uint8_t>(piece);
    std::memcpy(cmd + 5, data + off, piece);
    std::uint8_t resp[kRespMax];
    DWORD rlen = sizeof resp;
    vorn_rv rv = apdu(reader_key, handle, cmd, 5 + piece, resp, &rlen);
    if (rv != VORN_OK) return rv;
    if (!is_sw(resp, rlen, 0x90, 0x00)) return sw_error(resp, rlen);
  }
  return VORN_OK;
}

// A chained answer being fetched: what came so far, whether the card said
// 61 yy (more) and with which Le to ask next, and the rounds used.
struct Chain {
  vorn::SecureBytes held;
  bool more = true;
  std::uint8_t le = 0;
  std::size_t rounds = 0;
};

// Fetches one more piece of a chained answer. A piece that ends in 61 yy
// without data, or more rounds or bytes than the largest attribute list
// takes, give CARDERR_UNKNOWN.
vorn_rv fetch_more(std::uint32_t reader_key, SCARDHANDLE handle, Chain& c) {
  if (c.rounds >= chain_rounds(kChainLimit)) return CARDERR_UNKNOWN;
  ++c.rounds;
  std::uint8_t resp[kRespMax];
  vorn::WipeOnExit wipe(resp, sizeof resp);
  const std::uint8_t cmd[5] = {0x00, 0xC0, 0x00, 0x00, c.le};
  DWORD rlen = sizeof resp;
  vorn_rv rv = apdu(reader_key, handle, cmd, sizeof cmd, resp, &rlen);
  if (rv != VORN_OK) return rv;
  if (rlen < 2) return CARDERR_UNKNOWN;
  const std::uint8_t sw1 = resp[rlen - 2];
  const std::uint8_t sw2 = resp[rlen - 1];
  if (sw1 == 0x61) {
    if (rlen == 2) return CARDERR_UNKNOWN;  // more promised, nothing brought
    c.more = true;
    c.le = sw2;
  } else if (sw1 == 0x90 && sw2 == 0x00) {
    c.more = false;
  } else {
    return sw_to_error(sw1, sw2);
  }
  if (c.held.size() + (rlen - 2) > kChainLimit) return CARDERR_UNKNOWN;
  c.held.insert(c.held.end(), resp, resp + rlen - 2);
  return VORN_OK;
}

// Fetches until `want` bytes are held or the card has no more; fewer give
// CARDERR_UNKNOWN.
vorn_rv fetch_until(std::uint32_t reader_key, SCARDHANDLE handle, Chain& c, std::size_t want) {
  while (c.held.size() < want && c.more) {
    vorn_rv rv = fetch_more(reader_key, handle, c);
    if (rv != VORN_OK) return rv;
  }
  return c.held.size() < want ? CARDERR_UNKNOWN : VORN_OK;
}

}  // namespace

vorn_rv attr_list_encode(const CardAttr* tmpl, DWORD count, std::uint8_t* out, DWORD* len) {
  if (len == nullptr || (tmpl == nullptr && count != 0)) return CARDERR_BAD_ARG;
  if (count > 0xFFFF / 4) return CARDERR_BAD_LENGTH;
  std::size_t total = 2 + 4 * static_cast<std::size_t>(count);
  for (DWORD i = 0; i < count; ++i) {
    if (tmpl[i].type > 0xFFFF || tmpl[i].len > 0xFFFF) return CARDERR_BAD_ARG;
    if (tmpl[i].value == nullptr && tmpl[i].len != 0) return CARDERR_BAD_ARG;
    total += tmpl[i].len;
  }
  if (total > 0xFFFF) return CARDERR_BAD_LENGTH;  // the size travels in two bytes
  if (out == nullptr) {
    *len = static_cast<DWORD>(total);
    return VORN_OK;
  }
  if (*len < total) {
    *len = static_cast<DWORD>(total);
    return CARDERR_BUFFER_TOO_SMALL;
  }
  const DWORD h = 4 * count;
  out[0] = static_cast<std::uint8_t>(h >> 8);
  out[1] = static_cast<std::uint8_t>(h);
  std::size_t pos = 2 + h;
  for (DWORD i = 0; i < count; ++i) {
    std::uint8_t* line = out + 2 + 4 * i;
    line[0] = static_cast<std::uint8_t>(tmpl[i].type >> 8);
    line[1] = static_cast<std::uint8_t>(tmpl[i].type);
    line[2] = static_cast<std::uint8_t>(tmpl[i].len >> 8);
    line[3] = static_cast<std::uint8_t>(tmpl[i].len);
    if (tmpl[i].len != 0) std::memcpy(out + pos, tmpl[i].value, tmpl[i].len);
    pos += tmpl[i].len;
  }
  *len = static_cast<DWORD>(total);
  return VORN_OK;
}

vorn_rv attr_list_decode(const std::uint8_t* list, DWORD list_len, CardAttr* tmpl, DWORD count) {
  if ((list == nullptr && list_len != 0) || (tmpl == nullptr && count != 0)) return CARDERR_BAD_ARG;
  if (list_len < 2) return CARDERR_UNKNOWN;
  const DWORD h = be16(list);
  if (h % 4 != 0 || 2 + static_cast<std::size_t>(h) > list_len) return CARDERR_UNKNOWN;
  bool size_query = true;
  for (DWORD i = 0; i < count; ++i) {
    if (tmpl[i].value != nullptr) size_query = false;
  }
  vorn_rv result = VORN_OK;
  for (DWORD i = 0; i < count; ++i) {
    CardAttr& a = tmpl[i];
    std::size_t start = 2 + static_cast<std::size_t>(h);
    bool found = false;
    DWORD vlen = 0;
    for (DWORD line = 0; line < h / 4; ++line) {
      const std::uint8_t* d = list + 2 + 4 * line;
      vlen = be16(d + 2);
      if (be16(d) == a.type) {
        found = true;
        break;
      }
      start += vlen;
    }
    if (!found) {
      a.len = 0;
      continue;
    }
    if (size_query) {
      a.len = vlen;
      continue;
    }
    if (a.len < vlen) {
      a.len = vlen;
      result = CARDERR_BUFFER_TOO_SMALL;
      continue;
    }
    if (start + vlen > list_len) return CARDERR_UNKNOWN;  // value past the list's end
    if (a.value != nullptr && vlen != 0) std::memcpy(a.value, list + start, vlen);
    a.len = vlen;
  }
  return result;
}

vorn_rv obj_find_free(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t* number) {
  if (number == nullptr) return CARDERR_BAD_ARG;
  std::uint8_t map[kMapSize];
  vorn_rv rv = read_map(reader_key, handle, map);
  if (rv != VORN_OK) return rv;
  for (DWORD i = 0; i < kMapSize; ++i) {
    if (map[i] == 0) {
      *number = static_cast<std::uint8_t>(i + 1);
      return VORN_OK;
    }
  }
  return CARDERR_CARD_FULL;
}

vorn_rv obj_find_two_free(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t* first,
                          std::uint8_t* second) {
  if (first == nullptr || second == nullptr) return CARDERR_BAD_ARG;
  std::uint8_t map[kMapSize];
  vorn_rv rv = read_map(reader_key, handle, map);
  if (rv != VORN_OK) return rv;
  int found = 0;
  for (DWORD i = 0; i < kMapSize && found < 2; ++i) {
    if (map[i] != 0) continue;
    if (found == 0) {
      *first = static_cast<std::uint8_t>(i + 1);
    } else {
      *second = static_cast<std::uint8_t>(i + 1);
    }
    ++found;
  }
  return found == 2 ? VORN_OK : CARDERR_CARD_FULL;
}

vorn_rv obj_list(std::uint32_t reader_key, SCARDHANDLE handle, std::uint32_t* handles,
                 DWORD* count) {
  if (count == nullptr) return CARDERR_BAD_ARG;
  if (handles == nullptr || *count < OBJ_LIST_CAPACITY) {
    *count = OBJ_LIST_CAPACITY;
    return CARDERR_BUFFER_TOO_SMALL;
  }
  DWORD n = 0;
  std::uint8_t map[kMapSize];
  vorn_rv rv = sm_open_app_channel(reader_key, handle, CARD_APP_SIGN);
  if (rv == VORN_OK) rv = read_map(reader_key, handle, map);
  if (rv != VORN_OK) {
    *count = 0;
    return rv;
  }
  for (DWORD i = 0; i < kMapSize; ++i) {
    if (map[i] != 0 && (map[i] & 0x80) == 0) {
      handles[n++] = OBJ_PREFIX_SIGN | (static_cast<std::uint32_t>(map[i]) << 16) | (i + 1);
    }
  }
  rv = sm_open_app_channel(reader_key, handle, CARD_APP_CIPH);
  if (rv == VORN_OK) rv = read_map(reader_key, handle, map);
  if (rv != VORN_OK) {
    *count = n;
    return rv;
  }
  // Object 40 of AP-CIPH is the container map, never listed.
  for (DWORD i = 0; i + 1 < kMapSize; ++i) {
    if (map[i] != 0 && (map[i] & 0x80) == 0) {
      handles[n++] = OBJ_PREFIX_CIPH | (static_cast<std::uint32_t>(map[i]) << 16) | (i + 1);
    }
  }
  *count = n;
  return VORN_OK;
}

vorn_rv obj_write_attrs(std::uint32_t reader_key, SCARDHANDLE handle, std::uint32_t object,
                        const CardAttr* tmpl, DWORD count) {
  vorn_rv rv = check_object(object);
  if (rv != VORN_OK) return rv;
  if (tmpl == nullptr) count = 0;
  DWORD size = 0;
  vorn::SecureBytes list;
  if (count != 0) {
    rv = attr_list_encode(tmpl, count, nullptr, &size);
    if (rv != VORN_OK) return rv;
    list.resize(size);
    rv = attr_list_encode(tmpl, count, list.data(), &size);
    if (rv != VORN_OK) return rv;
  }
  rv = sm_select_for_object(reader_key, handle, object);
  if (rv != VORN_OK) return rv;
  const std::uint8_t number = obj_number(object);
  const std::uint8_t head[12] = {0x84, 0x48, 0x00, number, 0x07, 0x82, 0x02,
                                 static_cast<std::uint8_t>(size >> 8),
                                 static_cast<std::uint8_t>(size), 0x83, 0x01, 0x06};
  std::uint8_t resp[kRespMax];
  DWORD rlen = sizeof resp;
  rv = apdu(reader_key, handle, head, sizeof head, resp, &rlen);
  if (rv != VORN_OK) return rv;
  if (!is_sw(resp, rlen, 0x90, 0x00)) return sw_error(resp, rlen);
  if (size == 0) return VORN_OK;
  return send_pieces(reader_key, handle, number, list.data(), size);
}

vorn_rv obj_read_attrs(std::uint32_t reader_key, SCARDHANDLE handle, std::uint32_t object,
                       CardAttr* tmpl, DWORD count) {
  vorn_rv rv = check_object(object);
  if (rv != VORN_OK) return rv;
  if (tmpl == nullptr && count != 0) return CARDERR_BAD_ARG;
  rv = sm_select_for_object(reader_key, handle, object);
  if (rv != VORN_OK) return rv;
  const std::uint8_t cmd[8] = {0x84, 0x50, 0x00, obj_number(object), 0x03, 0x8B, 0x01, 0x02};
  std::uint8_t resp[kRespMax];
  DWORD rlen = sizeof resp;
  rv = apdu(reader_key, handle, cmd, sizeof cmd, resp, &rlen);
  if (rv != VORN_OK) return rv;
  if (is_sw(resp, rlen, 0x90, 0x00)) {
    // No attribute list on this object.
    for (DWORD i = 0; i < count; ++i) tmpl[i].len = 0;
    return VORN_OK;
  }
  if (!is_61(resp, rlen)) return sw_error(resp, rlen);

  Chain c;
  c.le = resp[1];
  rv = fetch_more(reader_key, handle, c);
  // The whole directory first: under the channel a long one spans pieces.
  if (rv == VORN_OK) rv = fetch_until(reader_key, handle, c, 2);
  if (rv != VORN_OK) return rv;
  const std::size_t dir_end = 2 + static_cast<std::size_t>(be16(c.held.data()));
  if ((dir_end - 2) % 4 != 0) return CARDERR_UNKNOWN;
  rv = fetch_until(reader_key, handle, c, dir_end);
  if (rv != VORN_OK) return rv;

  bool size_query = true;
  for (DWORD i = 0; i < count; ++i) {
    if (tmpl[i].value != nullptr) size_query = false;
  }
  if (!size_query) {
    // Read up to the end of the last requested value.
    std::size_t need = dir_end;
    std::size_t pos = dir_end;
    for (std::size_t line = 2; line < dir_end; line += 4) {
      const std::uint16_t type = be16(c.held.data() + line);
      pos += be16(c.held.data() + line + 2);
      for (DWORD i = 0; i < count; ++i) {
        if (tmpl[i].type == type) need = pos;
      }
    }
    rv = fetch_until(reader_key, handle, c, need);
    if (rv != VORN_OK) return rv;
  }
  return attr_list_decode(c.held.data(), static_cast<DWORD>(c.held.size()), tmpl, count);
}

vorn_rv obj_read_value(std::uint32_t reader_key, SCARDHANDLE handle, std::uint32_t object,
                       std::uint8_t key_ref, std::uint8_t* buf, DWORD* len) {
  vorn_rv rv = check_object(object);
  if (rv != VORN_OK) return rv;
  if (len == nullptr) return CARDERR_BAD_ARG;
  if (buf != nullptr && *len == 0) return CARDERR_BAD_ARG;
  rv = sm_select_for_object(reader_key, handle, object);
  if (rv != VORN_OK) return rv;
  std::uint8_t p1 = 0x00;
  if (key_ref != 0) {
    rv = key_set_env(reader_key, handle, 0, 0, key_ref, nullptr, 0);
    if (rv != VORN_OK) return rv;
    p1 = 0x01;
  }
  const std::uint8_t cmd[8] = {0x84, 0x50, p1, obj_number(object), 0x03, 0x8B, 0x01,
                               static_cast<std::uint8_t>(buf == nullptr ? 0x03 : 0x01)};
  std::uint8_t resp[kRespMax];
  DWORD rlen = sizeof resp;
  rv = apdu(reader_key, handle, cmd, sizeof cmd, resp, &rlen);
  if (rv != VORN_OK) return rv;
  if (!is_61(resp, rlen)) return sw_error(resp, rlen);

  vorn::SecureBytes data;
  if (buf == nullptr) {
    rv = get_response(reader_key, handle, resp[1], false, data, kRespMax, kRespMax);
    if (rv != VORN_OK) return rv;
    if (data.size() < 2) return CARDERR_UNKNOWN;
    *len = be16(data.data());
    return VORN_OK;
  }
  rv = get_response(reader_key, handle, resp[1], true, data, kChainLimit, kChainLimit);
  if (rv == CARDERR_BUFFER_TOO_SMALL) rv = CARDERR_UNKNOWN;
  if (rv != VORN_OK) return rv;
  vorn_rv result = VORN_OK;
  if (data.size() > *len) {
    // A value larger than the buffer is not handed out cut short.
    *len = static_cast<DWORD>(data.size());
    result = CARDERR_BUFFER_TOO_SMALL;
  } else {
    if (!data.empty()) std::memcpy(buf, data.data(), data.size());
    *len = static_cast<DWORD>(data.size());
  }
  return result;
}

vorn_rv obj_delete(std::uint32_t reader_key, SCARDHANDLE handle, std::uint32_t object) {
  vorn_rv rv = check_object(object);
  if (rv != VORN_OK) return rv;
  rv = sm_select_for_object(reader_key, handle, object);
  if (rv != VORN_OK) return rv;
  const std::uint8_t cmd[5] = {0x84, 0x52, 0x00, obj_number(object), 0x00};
  std::uint8_t resp[kRespMax];
  DWORD rlen = sizeof resp;
  rv = apdu(reader_key, handle, cmd, sizeof cmd, resp, &rlen);
  if (rv != VORN_OK) return rv;
  return is_sw(resp, rlen, 0x90, 0x00) ? VORN_OK : sw_error(resp, rlen);
}
