// The log line of a caught failure, the one way a catch block reports what
// it caught before it carries on (DEVELOPERS.md, "Failures"). Two forms:
// "<operation> Exception: <message>", and "Exception <class> : <message>"
// where the thread body or handler names no operation.
//
// LogCaught writes every line: for boundaries that run as often as the
// operator or the process decides (start-up, an administrative operation, a
// web page). LogCaughtLimited writes through a TLogRateLimiter: for catches
// that a peer decides how often run (socket readers, the relay, the sender,
// the announcement loop), so that a stranger cannot fill the disk; it counts
// the lines it holds back and reports their number with the next one written.
//
// Callers: every catch block of the server that carries on.
// Thread-safety: LogCaught may be called from any thread; LogCaughtLimited
// as its limiter allows (a limiter per thread, or the owner's lock).
#pragma once

#include <exception>
#include <string_view>

#include "common/LogRateLimiter.h"

// "<operation> Exception: <message>" (LMTERROR, LMDALL) under `source`.
void LogCaught(std::string_view source, std::string_view operation, const std::exception& error);
// "Exception <class> : <message>" (LMTERROR, LMDALL) under `source`.
void LogCaught(std::string_view source, const std::exception& error);

// From inside a catch block: "<operation> Exception: <message>" of the
// failure being handled (any thrown value), through `limiter`.
void LogCaughtLimited(TLogRateLimiter& limiter, std::string_view source, std::string_view operation);
// "Exception <class> : <message>" of `error`, through `limiter`.
void LogCaughtLimited(TLogRateLimiter& limiter, std::string_view source, const std::exception& error);
