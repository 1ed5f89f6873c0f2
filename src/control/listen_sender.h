// The listen sender: drains the engine's listen ring and sends the chosen signal to the front end
// as 10 ms datagrams on the loopback interface, while the front end has listening switched on.
#pragma once

#include <memory>

#include "control/shared_state.h"
#include "engine/spsc_ring.h"

namespace mixengine {

// Creates the listen ring (one second of stereo pairs: 2 * rate samples) and starts the detached
// sender, which reads the listen settings from `state` and ends when its stop flag is set.
// Returns the ring's producing end for the engine.
RingProducer<float> start_listen_sender(std::shared_ptr<ControlState> state, float rate);

}  // namespace mixengine
