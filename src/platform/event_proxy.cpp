#include "platform/event_proxy.h"

namespace nolv {

namespace {

class WaitingSink : public EventSink {
 public:
  WaitingSink(EventLoopProxy inner, std::shared_ptr<Backlog> backlog)
      : inner_(std::move(inner)), backlog_(std::move(backlog)) {}

  bool post(Packet packet) override {
    (void)backlog_->wait_for_room();  // closed: the session is over, the post decides
    std::uint64_t bytes = kPacketFootprint;
    for (const auto& [index, chunk] : packet.chunks) bytes += chunk.size();
    packet.picture_charge = BacklogCharge(backlog_, bytes);
    return inner_.send_event(std::move(packet));
  }

 private:
  EventLoopProxy inner_;
  std::shared_ptr<Backlog> backlog_;
};

}  // namespace

EventLoopProxy waiting_proxy(EventLoopProxy inner, std::shared_ptr<Backlog> backlog) {
  return EventLoopProxy(std::make_shared<WaitingSink>(std::move(inner), std::move(backlog)));
}

}  // namespace nolv
