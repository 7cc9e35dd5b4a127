// Protocol engines behind the transports. An engine is driven by its
// transport's thread alone: input() with the bytes the client sent, poll()
// whenever deadline() has come. It answers through the Link.
#pragma once

#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "sim/counter_model.h"
#include "sim/sim.h"

namespace u62sim {

class Link {
 public:
  virtual ~Link() = default;
  // An adapter's own answer, sent as it is.
  virtual void send_adapter(std::string_view bytes, TimePoint now) = 0;
  // A counter reply without its terminator: the content faults of the
  // transport (identification, non-numeric, garbage, over-long) applied.
  virtual std::string shape_reply(std::string reply) = 0;
  // A counter reply with its terminator, sent with the delivery faults
  // (split, drop) and counted.
  virtual void send_reply(std::string bytes, TimePoint now) = 0;
};

constexpr TimePoint kNever = TimePoint::max();

class Engine {
 public:
  virtual ~Engine() = default;
  // A new client: whatever was half received from the old one is dropped.
  virtual void connected(TimePoint now) {}
  virtual void input(std::string_view bytes, TimePoint now) = 0;
  virtual void poll(TimePoint now) = 0;
  virtual TimePoint deadline() const = 0;
  virtual void set_firmware(Firmware firmware) {}
};

std::unique_ptr<Engine> make_raw_engine(CounterModel& model, Link& link);
std::unique_ptr<Engine> make_prologix_engine(CounterModel& model, Link& link,
                                             const TransportOptions& options);

}  // namespace u62sim
