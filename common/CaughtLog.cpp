#include "common/CaughtLog.h"

#include <cstdint>
#include <string>

#include "common/ExceptionName.h"
#include "common/Log.h"

namespace {

std::string OperationLine(std::string_view operation, std::string_view message) {
  std::string line(operation);
  line += " Exception: ";
  line += message;
  return line;
}

std::string ClassLine(const std::exception& error) {
  return FormatArgs("Exception %1 : %2", {ExceptionClassName(error), std::string(error.what())});
}

// Writes `line` when the limiter lets it through, after the number of lines
// held back before it.
void WriteLimited(TLogRateLimiter& limiter, std::string_view source, std::string_view operation,
                  const std::string& line) {
  uint32_t suppressed = 0;
  const bool allowed = limiter.Allow(suppressed);
  if (suppressed) {
    if (operation.empty())
      LogFmt(LMTERROR, LMDALL, source, "%1 more exceptions not logged", {suppressed});
    else
      LogFmt(LMTERROR, LMDALL, source, "%1: %2 more exceptions not logged", {std::string(operation), suppressed});
  }
  if (allowed) Log(LMTERROR, LMDALL, source, line);
}

}  // namespace

void LogCaught(std::string_view source, std::string_view operation, const std::exception& error) {
  Log(LMTERROR, LMDALL, source, OperationLine(operation, error.what()));
}

void LogCaught(std::string_view source, const std::exception& error) {
  Log(LMTERROR, LMDALL, source, ClassLine(error));
}

void LogCaughtLimited(TLogRateLimiter& limiter, std::string_view source, std::string_view operation) {
  std::string text = "unknown error";
  try {
    throw;
  } catch (const std::exception& e) {
    text = e.what();
  } catch (...) {
    // Not an error class: the line says so ("unknown error").
  }
  WriteLimited(limiter, source, operation, OperationLine(operation, text));
}

void LogCaughtLimited(TLogRateLimiter& limiter, std::string_view source, const std::exception& error) {
  WriteLimited(limiter, source, {}, ClassLine(error));
}
