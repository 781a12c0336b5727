// How the grab treats the events the verified reader reports through its callback.
#pragma once

#include <cdio/paranoia/paranoia.h>

namespace vantrell {

// True when the event fails the grab: a skip, paranoia giving up on a sector after its
// retries are exhausted. Every other event is a normal correction (drift, jitter, dropped or
// duplicated bytes, overlap) or progress. A hard read error is reported as READERR and then
// retried; the drive reader's own bounded error count decides when reads have failed.
constexpr bool ParanoiaEventFails(paranoia_cb_mode_t mode) {
    return mode == PARANOIA_CB_SKIP;
}

} // namespace vantrell
