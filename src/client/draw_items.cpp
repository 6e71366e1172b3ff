#include "client/draw_items.h"

namespace nolv {

DrawItems read_draw_items(const std::vector<Yaml>& items) {
  DrawItems d;
  d.wid = packet_get_usize(items, draw_item::kWid);
  d.x = packet_get_i32(items, draw_item::kX);
  d.y = packet_get_i32(items, draw_item::kY);
  d.width = packet_get_u32(items, draw_item::kWidth);
  d.height = packet_get_u32(items, draw_item::kHeight);
  d.coding = packet_get_str(items, draw_item::kCoding);
  d.packet_sequence = packet_get_usize(items, draw_item::kPacketSequence);
  return d;
}

}  // namespace nolv
