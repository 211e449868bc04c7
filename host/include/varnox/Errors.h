#pragma once
// Host error numbers. Operations return 0 for success or one of these negative numbers, or one
// of the device library's (tavik/Errors.h); EventLog::errStr turns any of them into text.
#include "tavik/Errors.h"

namespace varnox {

inline constexpr int VARNOX_ERR_NO_MEMORY = -1002;            // memory or a record missing
inline constexpr int VARNOX_ERR_HISTORY_ENTRY_MISSING = -1003;
inline constexpr int VARNOX_ERR_HISTORY_EVENT_MISSING = -1004;
inline constexpr int VARNOX_ERR_QUEUE_SIZE_ORDER = -1009;
inline constexpr int VARNOX_ERR_UNKNOWN_KEY = -1011;
inline constexpr int VARNOX_ERR_DUPLICATE = -1012;             // a key or variable registered twice
inline constexpr int VARNOX_ERR_TYPE_MISMATCH = -1013;         // a variable mapped with another type
inline constexpr int VARNOX_ERR_NO_RECORD = -1014;             // no record registered
inline constexpr int VARNOX_ERR_READ_DATA = -1022;             // read data missing or transfer length too large
inline constexpr int VARNOX_ERR_CONFIG_MISSING = -1027;
inline constexpr int VARNOX_ERR_MISCOMPARE = -1046;
inline constexpr int VARNOX_ERR_COMMAND_CHOICE = -1050;
inline constexpr int VARNOX_ERR_DUMP_FILE = -1052;
inline constexpr int VARNOX_ERR_NO_DEVICE = -1053;
inline constexpr int VARNOX_ERR_USER_PATTERN = -1056;
inline constexpr int VARNOX_ERR_BLOCK_OFFSET = -1057;
inline constexpr int VARNOX_ERR_WRITE_SPLICE_DETECTED = -1062;
inline constexpr int VARNOX_ERR_ATOMIC_ORDERING = -1063;
inline constexpr int VARNOX_ERR_INTERNAL = -1200;              // missing command record or history check failed

}  // namespace varnox
