#pragma once
// Error numbers a device returns. The host's other error numbers (varnox/Errors.h) share their
// number space, so EventLog::errStr names these too.
namespace varnox {

inline constexpr int VARNOX_OK = 0;
inline constexpr int VARNOX_ERR_GENERIC = -1001;
inline constexpr int VARNOX_ERR_BAD_VALUE = -1010;             // a configuration value out of range or unparsable
inline constexpr int VARNOX_ERR_DEVICE = -1020;                // the device failed or could not be opened
inline constexpr int VARNOX_ERR_NOT_SUPPORTED = -1021;

}  // namespace varnox
