#include "common/WrongKeyGuard.h"

void TWrongKeyGuard::Note(std::string_view address, int64_t nowMs) {
  bool made = false;
  TSource& s = sources_.Get(address, &made);
  if (made || nowMs - s.WindowStartMs >= kWindowMs) {
    s.WindowStartMs = nowMs;
    s.WrongKeys = 0;
  }
  if (++s.WrongKeys > kFreeWrongKeys) s.BlockedUntilMs = nowMs + kBlockMs;
}

bool TWrongKeyGuard::Blocked(std::string_view address, int64_t nowMs) const {
  const TSource* s = sources_.Peek(address);
  return s && nowMs < s->BlockedUntilMs;
}
