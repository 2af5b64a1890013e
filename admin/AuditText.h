// The text of the audit trail's records that the query and the web share:
// what a change of settings changed, key by key. Callers: the query's and the web's commands, just
// before and after they act.
//
// Thread-safety: pure functions.
#pragma once

#include <string>

#include "server/ServerAccess.h"

// "ServerName: 'Old' -> 'New'; ServerPassword: changed" for every key of
// `change` whose value differs from `before`; a password never shows its
// text. Empty when nothing differs.
std::string SettingsChangeText(const TServerSettings& before, const TSettingsChange& change);
