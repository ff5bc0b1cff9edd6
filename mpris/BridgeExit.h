#pragma once

/// How vortlebox-mpris ends, for the program that starts it and starts it
/// again when it ends in any other way (killed, crashed).
namespace BridgeExit {
/// Asked to end, or another bridge serves the bus already.
constexpr int kDone = 0;
/// No session bus, or it went away: starting again would not help.
constexpr int kNoBus = 1;
/// Wrong arguments.
constexpr int kUsage = 2;
} // namespace BridgeExit
