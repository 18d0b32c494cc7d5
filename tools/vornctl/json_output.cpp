#include "tools/vornctl/json_output.h"

#include "client/peer_text.h"

namespace vornctl {
namespace {

nlohmann::json AsUtf8(const nlohmann::json& value) {
  if (value.is_string()) return PeerTextToUtf8(value.get_ref<const std::string&>());
  if (value.is_array()) {
    nlohmann::json out = nlohmann::json::array();
    for (const nlohmann::json& item : value) out.push_back(AsUtf8(item));
    return out;
  }
  if (value.is_object()) {
    nlohmann::json out = nlohmann::json::object();
    for (const auto& [key, item] : value.items()) out[PeerTextToUtf8(key)] = AsUtf8(item);
    return out;
  }
  return value;
}

}  // namespace

std::string ScriptJson(const nlohmann::json& value) {
  return AsUtf8(value).dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string CompactJson(const nlohmann::json& value) {
  return AsUtf8(value).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace vornctl
