#pragma once
// FFmpeg's own diagnostics, sent through the log service instead of straight
// to standard error, and held to a few lines a second: a damaged file makes
// the decoders complain about every slice, which would otherwise flood the
// controller's log and slow playback.

// Installs the route for the whole process. Messages quieter than warnings
// are dropped.
void RouteFFmpegLog();

// The route's line budget: at most kFFmpegLogBurst lines at once, refilled at
// kFFmpegLogPerSecond; the number of lines held back is logged with the next
// line that gets through.
inline constexpr int kFFmpegLogBurst = 20;
inline constexpr int kFFmpegLogPerSecond = 5;
