#pragma once

#include <string>

#include "base/version.h"

// The texts of the UDP discovery protocol, shared by the server that answers
// and the clients that ask. Every request and reply begins with the prefix.
namespace discovery {

inline const std::string kPrefix = "16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN ";
inline const std::string kQueryId = kPrefix + "QUERY ID";
inline const std::string kEquipmentKey = " EqNumber=";
inline const std::string kIdentityQuery = kQueryId + kEquipmentKey;
inline const std::string kIdentityPrefix = kPrefix + "ID:";
inline const std::string kIdentityText =
    kIdentityPrefix + " Installation Server V" + std::string(kVersion);
inline const std::string kStartRequest = kPrefix + "START DATA CHANNEL";
inline const std::string kStartOnPortRequest = kStartRequest + " ON PORT ";
inline const std::string kListeningPrefix = kPrefix + "LISTENING ON PORT";
inline const std::string kStopRequest = kPrefix + "STOP DATA CHANNEL";
inline const std::string kStopNowRequest = kStopRequest + " NOW";
inline const std::string kLaunchErrorReply = kPrefix + "ERROR: Can not launch Data Channel!";
inline const std::string kStoppedReply = kPrefix + "Data Channel stopped";
inline const std::string kStopErrorReply = kPrefix + "ERROR: Can not stop Data Channel!";

}  // namespace discovery
