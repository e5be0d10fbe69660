// A link-time stand-in for the PC/SC calls the card layer makes
// (SCardTransmit and the connection calls), routing each card handle to an
// in-process simulator card. Used by the fast tests only; the stack tests
// go through pcscd.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cardsim/cardsim.h"
#include "trace.h"

namespace fake {

// Plugs `card` in under `handle` (the card must outlive the registration).
void plug(SCARDHANDLE handle, vorn::cardsim::Card* card);
void unplug(SCARDHANDLE handle);
// A second handle to the card plugged under `first` (same trace).
void alias(SCARDHANDLE second, SCARDHANDLE first);
// Everything sent to the card of `handle` since plugging or the last clear.
std::vector<clt::TraceApdu> trace(SCARDHANDLE handle);
void clear(SCARDHANDLE handle);
// Number of SCardTransmit calls for `handle`.
std::size_t transmits(SCARDHANDLE handle);

}  // namespace fake
