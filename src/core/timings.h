#pragma once

// The program's fixed timings, in milliseconds. The pauses and waits block the
// window's thread on purpose, so together they bound how long a tick, a click
// or a sales check holds it; they are kept side by side for that reason.

namespace veltrane {

// Every controller connection, in all three roles: the connect time-out and
// the read time-out (which also bounds a send that stalls).
inline constexpr int kControllerTimeoutMs = 2000;

// Status polling: Timer1 polls one pump per tick.
inline constexpr int kStatusPollIntervalMs = 50;
inline constexpr int kStatusPauseMs = 50; // after the request, before the wait
inline constexpr int kStatusWaitMs = 500; // at most, for the reply to arrive

// Sales polling: Timer2 checks one pump per tick.
inline constexpr int kSalesPollIntervalMs = 2000;
inline constexpr int kSalesPauseMs = 150;      // after the request, before the wait
inline constexpr int kSalesWaitMs = 800;       // at most, for the whole reply
inline constexpr int kSalesRetryPauseMs = 200; // before the second attempt

// Operator commands and automatic authorizations: after the send, before the
// reply is taken.
inline constexpr int kCommandPauseMs = 100;

// The window: when no status poll has been answered for this long, the
// controller counts as silent (banner, tray warning, one log line).
inline constexpr int kOutageAfterMs = 3000;

// Start-up.
inline constexpr int kAutoConnectDelayMs = 1500;    // auto_conectar, once
inline constexpr int kInstanceLockWaitMs = 100;     // for the single-instance lock
inline constexpr int kInstancePeerTimeoutMs = 1000; // asking the running instance to show

} // namespace veltrane
